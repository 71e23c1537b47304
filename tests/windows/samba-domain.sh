# A throw-away Active Directory domain on loopback for the Windows test
# program's NTLM cases: Samba's domain controller, written independently of
# Windows. Wine's NTLM package runs Samba's ntlm_auth, which asks the domain
# controller's winbindd. Sourced by run-wine-tests.sh.
#
#   domain_provision DIR  makes the domain, its accounts and the service's
#                         keytab in DIR; starts nothing, so it can run in the
#                         background while other work goes on
#   domain_start DIR      starts the domain controller, saves the accounts'
#                         passwords with its winbindd, gets the Wine user's
#                         ticket, and sets DOMAIN_ENV to the Kerberos
#                         environment of the domain and its service
#   domain_stop           stops the domain controller and removes what it
#                         left in system places; safe to call at any time
#
# The accounts, for the program's suites (USER names the account Wine logs
# on with):
#   the Unix user running Wine  saved password and a ticket: suite "domain"
#   wintests-nocreds            nothing saved, no ticket: "domain-no-credentials"
#   wintests-disabled           saved password, account disabled: "domain-disabled-account"
#
# Everything lives in DIR, except what Samba keeps in fixed places:
# - /run/samba/winbindd/pipe, winbindd's socket: its clients (ntlm_auth,
#   wbinfo) have the directory compiled in, and no setting moves it for
#   them. So one domain controller at a time can serve this machine: a lock
#   (DOMAIN_LOCK, a file left in /run/lock) makes runs wait for each other,
#   and a winbindd of the system's own that answers there stops the run. The
#   socket, and its directory if the run made it, are removed at the stop.
# - /var/log/samba/log.winbindd, which winbindd creates empty before it
#   reads its configuration; removed at the stop when it was not there before.
# - TCP port 135 on loopback (the RPC endpoint mapper), whose number is
#   fixed. The KDC and kpasswd get free ports, like the MIT realm's KDC, so
#   the two realms run side by side.
#
# It uses realm_free_port, write_krb5_config and wait_for_server of
# kerberos-realm.sh, which is sourced first.
#
# shellcheck shell=bash

readonly DOMAIN_REALM="CORVANE.TEST"
readonly DOMAIN_NAME="CORVANE"
readonly DOMAIN_SERVICE="host/dc1.corvane.test"
readonly DOMAIN_NO_CREDENTIALS_USER="wintests-nocreds"
readonly DOMAIN_DISABLED_USER="wintests-disabled"
readonly DOMAIN_LOCK="/run/lock/ntseclink-wintests-domain.lock"
readonly DOMAIN_WINBINDD_DIR="/run/samba/winbindd"
readonly DOMAIN_WINBINDD_PIPE="$DOMAIN_WINBINDD_DIR/pipe"
readonly DOMAIN_WINBINDD_EARLY_LOG="/var/log/samba/log.winbindd"
DOMAIN_USER="$(id -un)"
readonly DOMAIN_USER
DOMAIN_SAMBA_PID=""
DOMAIN_LOCK_FD=""
DOMAIN_REMOVE_EARLY_LOG=""
DOMAIN_REMOVE_WINBINDD_DIR=""

# A password the domain's complexity rules accept.
domain_password() {
  echo "Wt1-$(head -c 18 /dev/urandom | base64 | tr -d '/+=')"
}

# samba-tool on the domain's configuration; its output is shown when it fails.
domain_samba_tool() {
  local dir="$1"
  shift
  if ! samba-tool "$@" -s "$dir/etc/smb.conf" >"$dir/samba-tool.log" 2>&1; then
    echo "samba-tool $1 $2 failed:" >&2
    tail -20 "$dir/samba-tool.log" >&2
    return 1
  fi
}

domain_provision() {
  local dir="$1" kdc_port kpasswd_port
  mkdir -p "$dir/run"
  kdc_port=$(realm_free_port)
  kpasswd_port=$(realm_free_port)
  until [[ "$kpasswd_port" != "$kdc_port" ]]; do kpasswd_port=$(realm_free_port); done
  # An empty configuration to start from, so that the system's smb.conf
  # does not leak into the domain's.
  : >"$dir/empty.conf"
  samba-tool domain provision -s "$dir/empty.conf" --targetdir="$dir" --realm="$DOMAIN_REALM" \
    --domain="$DOMAIN_NAME" --adminpass="$(domain_password)" --server-role=dc --dns-backend=NONE \
    --host-name=dc1 --option="interfaces=lo" --option="bind interfaces only=yes" \
    --option="server services=rpc, kdc, winbindd" --option="krb5 port=$kdc_port" \
    --option="kpasswd port=$kpasswd_port" --option="log file=$dir/log.%m" --option="pid directory=$dir/run" \
    --option="ncalrpc dir=$dir/ncalrpc" --option="ntp signd socket directory=$dir/ntp_signd" \
    >"$dir/provision.log" 2>&1 || {
    echo "cannot provision the domain:" >&2
    tail -20 "$dir/provision.log" >&2
    return 1
  }
  write_krb5_config "$dir/krb5.conf" "$DOMAIN_REALM" "$kdc_port"
  local user
  for user in "$DOMAIN_USER" "$DOMAIN_NO_CREDENTIALS_USER" "$DOMAIN_DISABLED_USER"; do
    domain_password >"$dir/$user.password"
    domain_samba_tool "$dir" user add "$user" "$(cat "$dir/$user.password")"
  done
  domain_samba_tool "$dir" user disable "$DOMAIN_DISABLED_USER"
  domain_samba_tool "$dir" domain exportkeytab "$dir/service.keytab" --principal="$DOMAIN_SERVICE"
}

# Waits for the machine's domain controller slot; fails when a winbindd that
# is not ours answers there.
domain_take_lock() {
  exec {DOMAIN_LOCK_FD}>"$DOMAIN_LOCK"
  if ! flock -w 120 "$DOMAIN_LOCK_FD"; then
    echo "another run kept the domain controller's lock $DOMAIN_LOCK for 2 minutes" >&2
    return 1
  fi
  if domain_winbindd_answers; then
    echo "a winbindd of the system's own answers at $DOMAIN_WINBINDD_PIPE; stop it to run the domain cases" >&2
    return 1
  fi
}

domain_winbindd_answers() {
  wbinfo -p >/dev/null 2>&1
}

# Fails at the first step that fails, also where errexit does not hold.
domain_start() {
  local dir="$1"
  domain_take_lock || return 1
  [[ -e "$DOMAIN_WINBINDD_EARLY_LOG" ]] || DOMAIN_REMOVE_EARLY_LOG=1
  [[ -e "$DOMAIN_WINBINDD_DIR" ]] || DOMAIN_REMOVE_WINBINDD_DIR=1
  # One process for all its services; the lock is not handed down.
  samba --interactive --model=single -s "$dir/etc/smb.conf" >"$dir/samba.out" 2>&1 {DOMAIN_LOCK_FD}>&- &
  DOMAIN_SAMBA_PID=$!
  if ! wait_for_server "$DOMAIN_SAMBA_PID" 100 domain_winbindd_answers; then
    echo "the domain controller did not start:" >&2
    tail -20 "$dir/samba.out" >&2
    return 1
  fi
  # What ntlm_auth --use-cached-creds, which Wine runs, logs on with;
  # winbindd keeps it without asking the domain, also for the disabled
  # account.
  local user
  for user in "$DOMAIN_USER" "$DOMAIN_DISABLED_USER"; do
    wbinfo --ccache-save="$DOMAIN_NAME\\$user%$(cat "$dir/$user.password")" >/dev/null || return 1
  done
  KRB5_CONFIG="$dir/krb5.conf" KRB5CCNAME="FILE:$dir/user.ccache" \
    kinit "$DOMAIN_USER@$DOMAIN_REALM" <"$dir/$DOMAIN_USER.password" >/dev/null || return 1
  # shellcheck disable=SC2034  # read by run-wine-tests.sh
  DOMAIN_ENV=(KRB5_CONFIG="$dir/krb5.conf" KRB5CCNAME="FILE:$dir/user.ccache"
    KRB5_KTNAME="FILE:$dir/service.keytab" KRB5RCACHEDIR="$dir"
    WINTESTS_SERVICE_PRINCIPAL="$DOMAIN_SERVICE@$DOMAIN_REALM")
}

domain_stop() {
  if [[ -n "$DOMAIN_SAMBA_PID" ]]; then
    kill "$DOMAIN_SAMBA_PID" 2>/dev/null || true
    wait "$DOMAIN_SAMBA_PID" 2>/dev/null || true
    DOMAIN_SAMBA_PID=""
    rm -f "$DOMAIN_WINBINDD_PIPE"
    if [[ -n "$DOMAIN_REMOVE_WINBINDD_DIR" ]]; then
      rmdir "$DOMAIN_WINBINDD_DIR" 2>/dev/null || true
    fi
    if [[ -n "$DOMAIN_REMOVE_EARLY_LOG" && ! -s "$DOMAIN_WINBINDD_EARLY_LOG" ]]; then
      rm -f "$DOMAIN_WINBINDD_EARLY_LOG"
    fi
  fi
  if [[ -n "$DOMAIN_LOCK_FD" ]]; then
    exec {DOMAIN_LOCK_FD}>&-
    DOMAIN_LOCK_FD=""
  fi
}
