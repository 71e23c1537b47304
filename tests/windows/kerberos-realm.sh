# A throw-away MIT Kerberos realm on loopback for the Windows test program;
# sourced by run-wine-tests.sh. Everything lives in one directory, so the
# system's own Kerberos configuration is neither needed nor touched.
#
#   realm_start DIR   creates the realm, starts its KDC, gets the user's
#                     ticket and exports the Kerberos environment variables,
#                     WINTESTS_SERVICE_PRINCIPAL, WINTESTS_USER_PRINCIPAL and
#                     WINTESTS_KEYLESS_SERVICE_PRINCIPAL
#   realm_stop        stops the KDC; safe to call at any time
#
# shellcheck shell=bash

readonly REALM_NAME="NTSECLINK.TEST"
readonly REALM_USER="wintests-user"
readonly REALM_SERVICE="host/wintests.ntseclink.test"
# A service of the realm whose keys the service keytab does not hold.
readonly REALM_KEYLESS_SERVICE="host/elsewhere.ntseclink.test"
REALM_KDC_PID=""

# A loopback port that no TCP or UDP socket uses now. The KDC reuses
# addresses, so it would not notice a port taken by someone else.
realm_free_port() {
  local used port
  # Local ports in hexadecimal, as the kernel lists them.
  used=$(awk 'NR > 1 { split($2, local_address, ":"); print local_address[2] }' \
    /proc/net/tcp /proc/net/udp /proc/net/tcp6 /proc/net/udp6 2>/dev/null | sort -u)
  for _ in {1..100}; do
    port=$((20000 + RANDOM % 40000))
    if ! grep -qx "$(printf '%04X' "$port")" <<<"$used"; then
      echo "$port"
      return 0
    fi
  done
  echo "no free loopback port found" >&2
  return 1
}

# A client configuration naming one realm, whose KDC serves on a loopback
# port, and nothing found through DNS.
write_krb5_config() {
  local file="$1" realm="$2" port="$3"
  cat >"$file" <<EOF
[libdefaults]
    default_realm = $realm
    dns_lookup_kdc = false
    dns_lookup_realm = false
    dns_canonicalize_hostname = false
    rdns = false
[realms]
    $realm = {
        kdc = 127.0.0.1:$port
    }
EOF
}

realm_write_config() {
  local dir="$1" port="$2"
  write_krb5_config "$dir/krb5.conf" "$REALM_NAME" "$port"
  cat >"$dir/kdc.conf" <<EOF
[kdcdefaults]
    kdc_listen = 127.0.0.1:$port
    kdc_tcp_listen = 127.0.0.1:$port
[realms]
    $REALM_NAME = {
        database_name = $dir/principal
        key_stash_file = $dir/stash
        acl_file = $dir/kadm5.acl
    }
[logging]
    kdc = FILE:$dir/kdc.log
EOF
}

# The database, the user (whose keys go to a keytab of its own, so that no
# password is typed), the service whose keys the server side uses, and one
# whose keys it does not have.
realm_create_principals() {
  local dir="$1"
  kdb5_util create -s -r "$REALM_NAME" -P "$(head -c 24 /dev/urandom | base64)" >/dev/null
  kadmin.local -q "addprinc -randkey $REALM_USER" >/dev/null 2>&1
  kadmin.local -q "addprinc -randkey $REALM_SERVICE" >/dev/null 2>&1
  kadmin.local -q "addprinc -randkey $REALM_KEYLESS_SERVICE" >/dev/null 2>&1
  kadmin.local -q "ktadd -k $dir/user.keytab $REALM_USER" >/dev/null
  kadmin.local -q "ktadd -k $dir/service.keytab $REALM_SERVICE" >/dev/null
}

# Runs CHECK... every tenth of a second until it succeeds (status 0), or
# the server process PID has stopped or TRIES checks have failed (status 1).
wait_for_server() {
  local pid="$1" tries="$2"
  shift 2
  for ((try = 0; try < tries; try++)); do
    if "$@"; then
      return 0
    fi
    if ! kill -0 "$pid" 2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  return 1
}

# Waits until the KDC serves; fails when it stops or does not start in time.
realm_wait_for_kdc() {
  local log="$1"
  if ! wait_for_server "$REALM_KDC_PID" 50 grep -qs "commencing operation" "$log"; then
    echo "the KDC did not start:" >&2
    cat "$log" >&2 2>/dev/null || true
    return 1
  fi
}

realm_start() {
  local dir="$1" port
  mkdir -p "$dir"
  port=$(realm_free_port)
  realm_write_config "$dir" "$port"
  export KRB5_CONFIG="$dir/krb5.conf"
  export KRB5_KDC_PROFILE="$dir/kdc.conf"
  export KRB5CCNAME="FILE:$dir/user.ccache"
  export KRB5_KTNAME="FILE:$dir/service.keytab"
  # The acceptors' replay cache, which would go to /var/tmp.
  export KRB5RCACHEDIR="$dir"
  realm_create_principals "$dir"
  krb5kdc -n >"$dir/kdc.out" 2>&1 &
  REALM_KDC_PID=$!
  realm_wait_for_kdc "$dir/kdc.log"
  kinit -k -t "$dir/user.keytab" "$REALM_USER"
  export WINTESTS_SERVICE_PRINCIPAL="$REALM_SERVICE@$REALM_NAME"
  export WINTESTS_USER_PRINCIPAL="$REALM_USER@$REALM_NAME"
  export WINTESTS_KEYLESS_SERVICE_PRINCIPAL="$REALM_KEYLESS_SERVICE@$REALM_NAME"
}

realm_stop() {
  if [[ -n "$REALM_KDC_PID" ]]; then
    kill "$REALM_KDC_PID" 2>/dev/null || true
    wait "$REALM_KDC_PID" 2>/dev/null || true
    REALM_KDC_PID=""
  fi
}
