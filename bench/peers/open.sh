#!/bin/sh
# The simplest way to reach the page by hand: start node, read its first line (the URL)
# and have the desktop open it.
#   open.sh NODE ENTRY_SCRIPT
"$1" "$2" | { read -r url; gio open "$url"; }
