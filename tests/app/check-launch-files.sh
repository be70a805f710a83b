#!/bin/sh
# The installed start-up files agree: the desktop entry runs pkexec on the
# program the polkit action allows, and the action is a well-formed policy.
# Usage: check-launch-files.sh DESKTOP POLICY PROGRAM
set -eu
desktop=$1 policy=$2 program=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
xmllint --noout "$policy" || fail "the policy is not well-formed XML"
path=$(xmllint --xpath 'string(//annotate[@key="org.freedesktop.policykit.exec.path"])' "$policy")
[ "$path" = "$program" ] || fail "the policy allows '$path', not '$program'"
gui=$(xmllint --xpath 'string(//annotate[@key="org.freedesktop.policykit.exec.allow_gui"])' "$policy")
[ "$gui" = true ] || fail "the policy does not keep the display for the program"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ "$exec_line" = "pkexec $program" ] || fail "the desktop entry runs '$exec_line'"
grep -qx 'Type=Application' "$desktop" || fail "the desktop entry is not an application"
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$desktop"; fi
echo "launch files agree on $program"
