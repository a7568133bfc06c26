# Sourced by the scripts of tools/ and bench/ that stop at the first failing step (set -e): says
# which command failed, where and with what status before the script ends, so that no script
# ends silently with a non-zero status. errtrace carries the trap into functions and
# subshells, so the innermost failing step is named first.
set -o errtrace
__on_error() {
    echo "${0##*/}: line $2: \"$3\" failed (status $1)" >&2
}
trap '__on_error $? $LINENO "$BASH_COMMAND"' ERR
