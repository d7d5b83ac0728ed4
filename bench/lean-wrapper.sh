#!/bin/sh
# The same job as wrapper.sh with the fewest processes a shell script needs:
# the directory cut from readlink's answer in the shell, and the shell that
# runs the command taking this one's place.
dir=$(readlink -f "$0")
dir=${dir%/*}
command="export LD_LIBRARY_PATH=\"$dir/bin/lib\"; $dir/bin/morvelin &"
printf '%s\n' "$command"
exec sh -c "$command"
