# Sourced by the shell tests that need a web server on this machine (their
# own apt repositories): serve_directory DIR LOG serves DIR on 127.0.0.1, on
# a port the kernel picks, and sets server (its process) and port.
serve_directory() {  # directory, log file
  python3 -m http.server --bind 127.0.0.1 --directory "$1" 0 >"$2" 2>&1 &
  server=$!
  port=""
  # The port is known once the server has said it listens.
  for _ in $(seq 100); do
    port="$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$2" | head -n 1)"
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "FAIL: the web server for $1 did not start: $(cat "$2")" >&2
  exit 1
}
