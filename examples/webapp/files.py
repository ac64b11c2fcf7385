"""The files: the page that drives the API from a browser, and the module's
output, sent from the store under a lock that keeps the sweep off it."""

import os
from pathlib import Path
from stat import S_ISREG

from flask import Blueprint, current_app, render_template, request, send_file
from werkzeug.exceptions import NotFound
from werkzeug.security import safe_join

from .bodies import MIN_SPEED
from .endpoints import OUTPUT_FOLDERS
from .store import hold_for_reading, is_partial

bp = Blueprint("files", __name__)


def send_held(path, name):
    """The file at `path` as an answer, sent from a descriptor that holds the
    shared lock the expiry sweep respects: the server's closing of the file
    at the answer's end is what lets the sweep remove it."""
    try:
        fd = hold_for_reading(path)
    except OSError:
        raise NotFound() from None
    stat = os.fstat(fd)
    if not S_ISREG(stat.st_mode):
        os.close(fd)
        raise NotFound()
    file = os.fdopen(fd, "rb")
    try:
        response = send_file(
            file,
            download_name=name,
            conditional=False,
            etag=f"{stat.st_mtime}-{stat.st_size}",
            last_modified=stat.st_mtime,
            max_age=0,
        )
        # A file object tells send_file no length; ranges (audio elements
        # seek) need it.
        response.content_length = stat.st_size
        return response.make_conditional(request.environ, accept_ranges=True, complete_length=stat.st_size)
    except BaseException:
        file.close()
        raise


@bp.get("/")
def index():
    config = current_app.config
    return render_template(
        "index.html",
        max_text=config["MAX_TEXT"],
        min_speed=MIN_SPEED,
        transcription_timeout=config["TRANSCRIPTION_TIMEOUT"],
    )


@bp.get("/output/<kind>/<name>")
def output_file(kind, name):
    # Only plain names inside the two folders: the route's converter keeps
    # "/" out, safe_join refuses "..", and the module's partial downloads
    # are not offered.
    folder = OUTPUT_FOLDERS.get(kind)
    if folder is None or is_partial(name) or "\\" in name:
        raise NotFound()
    root = Path.cwd() / folder
    # clone_voice stores a name with blanks as "%20" and links to it as
    # such, so a client asks for the decoded name: find the stored one.
    escaped = name.replace(" ", "%20")
    if escaped != name and not (root / name).is_file() and (root / escaped).is_file():
        name = escaped
    path = safe_join(str(root), name)
    if path is None:
        raise NotFound()
    return send_held(path, name)
