#!/bin/sh
# The simplest launcher one could write instead: start node, read its lines until the
# loopback URL, open it, and wait. Prints "READY <url>" when it has seen the URL.
#   launch.sh NODE ENTRY_SCRIPT
"$1" "$2" | while IFS= read -r line; do
  case "$line" in
    http://127.0.0.1*)
      echo "READY $line"
      [ "$ZOLVEN_LAUNCHER_SUPPRESS_BROWSER" = 1 ] || xdg-open "$line" >/dev/null 2>&1 &
      ;;
  esac
done
