# Shared by the board-tool stand-ins (sourced, not run). Each stand-in
# records its argument vector as one line in the command log and answers
# like the board's tool, with its answers scripted through small files in
# the state directory.
#
# Outside a virtual board (unit tests set VBOARD_ROOT; a developer's shell
# has no board init as pid 1) a stand-in only records and answers: it never
# starts, stops or signals anything.

VB_TOOL=${0##*/}
VB_LOG=${VBOARD_COMMAND_LOG:-/vboard/commands.log}
VB_STATE=${VBOARD_STATE:-/vboard/state}

# One line per run: the tool's name and its arguments, separated by single
# blanks (a line break inside an argument becomes a blank).
vb_record() {
    vb_line="$VB_TOOL${*:+ $*}"
    case $vb_line in
    *'
'*) vb_line=$(printf '%s' "$vb_line" | tr '\n' ' ') ;;
    esac
    printf '%s\n' "$vb_line" >>"$VB_LOG" 2>/dev/null || :
}

# The content of state file $1 (first line), or $2 when it is missing or empty.
vb_state() {
    vb_v=
    [ -r "$VB_STATE/$1" ] && IFS= read -r vb_v <"$VB_STATE/$1"
    printf '%s' "${vb_v:-$2}"
}

vb_state_set() {
    mkdir -p "$VB_STATE" 2>/dev/null
    printf '%s\n' "$2" >"$VB_STATE/$1"
}

# True when state file $1 says the tool should fail.
vb_fails() {
    [ "$(vb_state "$1" ok)" = fail ]
}

# True only inside a running virtual board: its pid 1 is the board's init.
vb_in_board() {
    [ -z "${VBOARD_ROOT:-}" ] || return 1
    vb_comm=
    [ -r /proc/1/comm ] && IFS= read -r vb_comm </proc/1/comm
    [ "$vb_comm" = vboard ]
}

vb_record "$@"
