#!/bin/sh
# What a packager would write instead of the launcher: find the install
# directory, print the launch command and hand it to the shell.
dir=$(dirname "$(readlink -f "$0")")
command="export LD_LIBRARY_PATH=\"$dir/bin/lib\"; $dir/bin/morvelin &"
printf '%s\n' "$command"
sh -c "$command"
