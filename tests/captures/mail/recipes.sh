# Recipes for the mail captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop and the rest).
RECIPES+=(mail/imap_pop3 mail/smtp mail/smtp_auth)

# dovecot serving IMAP and POP3 (or the protocols given) for one user (bob,
# password secret), plain text allowed, STARTTLS with a self-signed
# certificate.
start_dovecot() {
  mkdir -p "$WORK/dovecot/run" "$WORK/dovecot/mail"
  # The login, auth and mail processes run as other users: they must reach
  # the files.
  chmod 755 "$WORK" "$WORK/dovecot"
  chmod 777 "$WORK/dovecot/mail"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=mail.vesk.test" -keyout "$WORK/dovecot/key.pem" -out "$WORK/dovecot/cert.pem" 2> /dev/null
  echo 'bob:{PLAIN}secret' > "$WORK/dovecot/users"
  chmod 644 "$WORK/dovecot/users"
  cat > "$WORK/dovecot/dovecot.conf" <<CONF
protocols = ${1:-imap pop3}
listen = $SRV4
base_dir = $WORK/dovecot/run
log_path = $WORK/dovecot/dovecot.log
ssl = yes
ssl_cert = <$WORK/dovecot/cert.pem
ssl_key = <$WORK/dovecot/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login
passdb {
  driver = passwd-file
  args = $WORK/dovecot/users
}
userdb {
  driver = static
  args = uid=65534 gid=65534 home=$WORK/dovecot/mail/%u
}
mail_location = maildir:~/Maildir
hostname = mail.vesk.test
submission_relay_host = 127.0.0.1
submission_relay_port = 2525
CONF
  start_s /usr/sbin/dovecot -F -c "$WORK/dovecot/dovecot.conf"
}

record_imap_pop3() {
  setup 1500
  start_dovecot
  local dovecot_pid=${PIDS[-1]}
  wait_port t 143
  wait_port t 110
  capture_start imap_pop3
  # python3 imaplib's LOGIN, curl's IMAP STARTTLS; POP3 USER/PASS from
  # poplib, curl's POP3 STLS.
  in_c timeout 10 /usr/bin/python3 -c "
import imaplib, sys
i = imaplib.IMAP4(sys.argv[1]); i.login('bob', 'secret'); i.select('INBOX'); i.logout()" "$SRV4" || true
  in_c curl -sk -m 10 --ssl-reqd "imap://$SRV4/" -u bob:secret > /dev/null || true
  in_c timeout 10 /usr/bin/python3 -c "
import poplib, sys
p = poplib.POP3(sys.argv[1]); p.user('bob'); p.pass_('secret'); p.stat(); p.quit()" "$SRV4" || true
  in_c curl -sk -m 10 --ssl-reqd "pop3://$SRV4/" -u bob:secret > /dev/null || true
  capture_stop imap_pop3
  stop_pid "$dovecot_pid"
  teardown
}

# python3's smtpd as the server (on 25 and on 2525), swaks as the client.
record_smtp() {
  setup 1500
  start_s /usr/bin/python3 -W ignore -m smtpd -n -c DebuggingServer "$SRV4:25"
  local smtp_pid=${PIDS[-1]}
  start_s /usr/bin/python3 -W ignore -m smtpd -n -c DebuggingServer "$SRV4:2525"
  local alt_pid=${PIDS[-1]}
  wait_port t 25
  wait_port t 2525
  capture_start smtp
  in_c swaks --server "$SRV4" --port 25 --helo client.vesk.test --from a@vesk.test --to b@vesk.test > /dev/null 2>&1 || true
  in_c swaks --server "$SRV4" --port 2525 --helo client.vesk.test --from a@vesk.test --to b@vesk.test > /dev/null 2>&1 || true
  capture_stop smtp
  stop_pid "$alt_pid"
  stop_pid "$smtp_pid"
  teardown
}

# dovecot's submission service (SMTP with AUTH on 587): swaks logs in with
# AUTH LOGIN and with AUTH PLAIN, curl with the mechanism it prefers. The
# relay behind dovecot is never reached: the clients quit after AUTH.
record_smtp_auth() {
  setup 1500
  start_dovecot submission
  local dovecot_pid=${PIDS[-1]}
  wait_port t 587
  capture_start smtp_auth
  in_c swaks --server "$SRV4" --port 587 --helo client.vesk.test --auth LOGIN --auth-user bob \
    --auth-password secret --quit-after AUTH > /dev/null 2>&1 || true
  in_c swaks --server "$SRV4" --port 587 --helo client.vesk.test --auth PLAIN --auth-user bob \
    --auth-password secret --quit-after AUTH > /dev/null 2>&1 || true
  in_c swaks --server "$SRV4" --port 587 --helo client.vesk.test --tls --auth PLAIN --auth-user bob \
    --auth-password secret --quit-after AUTH > /dev/null 2>&1 || true
  capture_stop smtp_auth
  stop_pid "$dovecot_pid"
  teardown
}
