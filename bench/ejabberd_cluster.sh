# Two ejabberd nodes on this machine joined into one cluster, for the
# benchmarks and checks that need one; sourced, not run. Each node has its
# own name, MQTT port, configuration, spool and logs under a work directory,
# and listens on 127.0.0.1 only.
#   cluster_start WORK PORT_A PORT_B PREFIX SETTINGS
# starts node a on PORT_A and node b on PORT_B (b joins a), named
# PREFIXa@localhost and PREFIXb@localhost. SETTINGS is the rest of each
# node's ejabberd.yml: authentication, ACLs, access rules and the modules
# (mod_mqtt with its rules). Then
#   cluster_ctl a|b COMMAND...   ejabberdctl on that node
#   cluster_stop                 both nodes (a node already stopped is left)

cluster_ctl() {  # node (a or b), command...
  cluster_d="$cluster_work/$1"
  shift
  set -- ejabberdctl --config-dir "$cluster_d" --ctl-config "$cluster_d/ejabberdctl.cfg" \
    --config "$cluster_d/ejabberd.yml" --spool "$cluster_d/spool" --logs "$cluster_d/logs" \
    --node "$cluster_prefix$(basename "$cluster_d")@localhost" "$@"
  (
    # The node gets as many descriptors as the package's own service gives
    # it (LimitNOFILE=65536), or as many as this shell may have. ejabberdctl
    # run by root becomes the package's user through su, whose PAM session
    # sets the soft limit back to 1024: a node with a thousand clients then
    # fails to accept ("emfile") and goes down. So root becomes that user
    # here, without PAM, and ejabberdctl runs the node as it is.
    ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)" 2>/dev/null || true
    if [ "$(id -u)" = 0 ]; then
      cd "$cluster_d/spool"
      exec env HOME="$(getent passwd ejabberd | cut -d: -f6)" \
        setpriv --reuid ejabberd --regid ejabberd --init-groups "$@"
    fi
    exec "$@"
  )
}

cluster_start() {  # work, port a, port b, node name prefix, settings
  cluster_work="$1"
  cluster_prefix="$4"
  for node in a b; do
    d="$cluster_work/$node"
    mkdir -p "$d/spool" "$d/logs"
    p=$2
    [ "$node" = a ] || p=$3
    cat >"$d/ejabberd.yml" <<YML
hosts: [localhost]
loglevel: warning
certfiles: []
listen:
  - port: $p
    ip: "127.0.0.1"
    module: mod_mqtt
    backlog: 4096
api_permissions:
  "console commands":
    from: ejabberd_ctl
    who: all
    what: "*"
$5
YML
    printf 'INET_DIST_INTERFACE=127.0.0.1\nERL_EPMD_ADDRESS=127.0.0.1\nEJABBERD_PID_PATH=%s/ejabberd.pid\n' "$d" >"$d/ejabberdctl.cfg"
    # Two nodes share this machine's cores with everything they serve: an
    # idle scheduler sleeps at once rather than spinning for more work.
    printf 'ERL_OPTIONS="-env ERL_CRASH_DUMP_BYTES 0 +sbwt none +sbwtdcpu none +sbwtdio none"\n' >>"$d/ejabberdctl.cfg"
    printf '{lookup,[file,native]}.\n{host,{127,0,0,1}, ["localhost"]}.\n' >"$d/inetrc"
  done
  # The nodes run as the package's own user (cluster_ctl).
  chown -R ejabberd "$cluster_work" 2>/dev/null || true
  # Joining restarts node b's services: it serves again once started.
  cluster_ctl a start && cluster_ctl b start && cluster_ctl a started && cluster_ctl b started &&
    cluster_ctl b join_cluster "${cluster_prefix}a@localhost" >/dev/null &&
    cluster_ctl b started
}

cluster_stop() {
  cluster_ctl b stop >/dev/null 2>&1 || true
  cluster_ctl a stop >/dev/null 2>&1 || true
}
