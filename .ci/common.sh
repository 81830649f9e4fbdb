# What .ci/run and the suites share; sourced, from the repository root.

# The README's test command (the line after <!-- test command -->), or the
# one .ci/run exported; exits when there is none.
test_command() {
  local command=${VANTROPY_TEST_COMMAND:-$(awk '/<!-- test command -->/ {grab=1; next} grab && /^```/ {if (inside) exit; inside=1; next} grab && inside {print; exit}' README.md)}
  if [ -z "$command" ]; then
    echo "no test command found in README.md" >&2
    exit 1
  fi
  printf '%s\n' "$command"
}

# Runs the README's test command with the interpreter $1 in a new venv.
run_suite() {
  local python=$1
  local command venv
  command=$(test_command)
  venv=$(mktemp -d)/venv
  "$python" -m venv "$venv"
  (
    # shellcheck disable=SC1091
    . "$venv/bin/activate"
    python -m pip install -q --upgrade pip
    echo "+ [$(python --version)] $command"
    eval "$command"
  )
}
