"""The room a call reserves in the output store for its output, by
operation: what the calls that write output (api.py) ask the store for."""

# Text to speech: a base and so much a character at the slowest speed a
# host asks for, shrinking as 1 / speed. Text that is mostly pauses or
# letters spelled one by one makes many times that: such a call takes more
# room as it writes, while the store has it, and is stopped when it has none.
TTS_ROOM = 96 * 1024
TTS_ROOM_PER_CHARACTER = 8 * 1024
# Cloning: clone_voice keeps whatever its service sends, with no bound of
# its own; the stand-in hands back at most the audio it takes in.
CLONE_ROOM = 50 << 20


def tts_room(characters, speed, slowest):
    """The room a text-to-speech call reserves: `characters` of text spoken
    at `speed`, where `slowest` is the slowest speed the host asks for."""
    return (TTS_ROOM + TTS_ROOM_PER_CHARACTER * characters) * slowest / speed
