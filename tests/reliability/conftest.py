import pytest

from scripted_server import ScriptedServer


@pytest.fixture
def scripted():
    server = ScriptedServer()
    yield server
    server.close()
