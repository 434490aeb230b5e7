# Sourced by scripts/demo.sh and bench/run.sh: an nginx of their own on a
# loopback port, and the Windows path of a Linux path.

# Windows path (drive Z:) of a Linux path.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# wait_for_port PORT PID: true once PORT answers; false when the process PID
# ends first or ten seconds pass.
wait_for_port() {
  for _ in $(seq 100); do
    port_in_use "$1" && return 0
    kill -0 "$2" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

nginx_pid=

# start_nginx PORT PREFIX CONFIG LOGS: runs nginx as a child of this script
# with PREFIX as its folder (its output in LOGS/nginx.out, its errors in
# LOGS/error.log) and waits until PORT answers. False, after saying why, when
# the port is taken or nginx does not start.
start_nginx() {
  local port=$1 prefix=$2 config=$3 logs=$4 nginx
  nginx=$(command -v nginx || echo /usr/sbin/nginx)
  if port_in_use "$port"; then
    echo "Port $port is already in use; stop what listens there and run again." >&2
    return 1
  fi
  "$nginx" -p "$prefix/" -c "$config" -e "$logs/error.log" </dev/null \
    >>"$logs/nginx.out" 2>&1 &
  nginx_pid=$!
  wait_for_port "$port" "$nginx_pid" && return 0
  cat "$logs/nginx.out" "$logs/error.log" >&2 2>/dev/null || true
  echo "nginx did not start" >&2
  return 1
}

stop_nginx() {
  [ -n "$nginx_pid" ] || return 0
  kill -QUIT "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
}
