"""The example host with text-to-speech in plain Python, which bench/load.py
runs beside the module's (`--impl python`): the application of
examples/webapp, made around the module with its generate_tts replaced by
the plain reference (reference.PlainSpeech), so that the two hosts differ
in that code alone.

gunicorn loads it through the example's own configuration:
WEBAPP_APP=plain_host:create_app() with this folder on PYTHONPATH.
"""

import webapp

from support import reference


def create_app():
    settings = webapp.Settings.from_environ()
    return webapp.create_app(reference.PlainSpeech(webapp.load_dorvane(settings.dorvane_home)), settings)
