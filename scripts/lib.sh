# Shared by the scripts: finding the supported interpreters on this machine.

# The newest CPython X.Y that pyenv or the PATH has; empty when none runs.
python_for() {
    local python
    python=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1 || true)
    [ -n "$python" ] || python=$(command -v "python$1" || true)
    if [ -n "$python" ] && "$python" -c "" 2>/dev/null; then
        echo "$python"
    fi
}
