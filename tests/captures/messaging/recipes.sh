# Recipes for the messaging captures of this folder, sourced by ../record.sh
# (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(messaging/activemq messaging/irc messaging/irc_clients messaging/nats_zmq messaging/smpp messaging/stomp messaging/xmpp)

# ngircd with sic as the client: registration, a join and a message.
record_irc() {
  setup 1500
  printf '[Global]\nName = irc.vesk.test\nListen = %s\nPorts = 6667\n[Options]\nPAM = no\nIdent = no\nDNS = no\n' \
    "$SRV4" > "$WORK/ngircd.conf"
  start_s /usr/sbin/ngircd -n -f "$WORK/ngircd.conf"
  local irc_pid=${PIDS[-1]}
  wait_port t 6667
  capture_start irc
  (sleep 2; echo ":j #vesk"; sleep 1; echo ":m #vesk hello"; sleep 1) | in_c timeout 8 sic -h "$SRV4" -p 6667 -n alice > /dev/null 2>&1 || true
  capture_stop irc
  stop_pid "$irc_pid"
  teardown
}

# nats-server with a python3 socket client (CONNECT, SUB, PUB, PING), and
# python3-zmq REQ/REP.
record_nats_zmq() {
  setup 1500
  start_s nats-server -a "$SRV4" -p 4222
  local nats_pid=${PIDS[-1]}
  cat > "$WORK/rep.py" <<'PY'
import sys, zmq
s = zmq.Context().socket(zmq.REP)
s.bind("tcp://%s:5555" % sys.argv[1])
s.send(s.recv())
PY
  start_s /usr/bin/python3 "$WORK/rep.py" "$SRV4"
  local rep_pid=${PIDS[-1]}
  wait_port t 4222
  wait_port t 5555
  capture_start nats_zmq
  in_c timeout 5 /usr/bin/python3 -c "
import socket, sys
s = socket.create_connection((sys.argv[1], 4222), timeout=5)
s.recv(4096)
s.sendall(b'CONNECT {\"verbose\":false}\r\nSUB vesk 1\r\nPUB vesk 5\r\nhello\r\nPING\r\n')
s.recv(4096); s.close()" "$SRV4" || true
  in_c timeout 5 /usr/bin/python3 -c "
import sys, zmq
s = zmq.Context().socket(zmq.REQ)
s.connect('tcp://%s:5555' % sys.argv[1])
s.send(b'hello'); s.recv()" "$SRV4" || true
  capture_stop nats_zmq
  stop_pid "$rep_pid"
  stop_pid "$nats_pid"
  teardown
}

# prosody with one user and sendxmpp sending a message without TLS.
record_xmpp() {
  setup 1500
  mkdir -p "$WORK/prosody/data"
  chown -R prosody "$WORK/prosody" 2> /dev/null || true
  chmod 755 "$WORK"
  cat > "$WORK/prosody/prosody.cfg.lua" <<CONF
pidfile = "$WORK/prosody/prosody.pid"
data_path = "$WORK/prosody/data"
interfaces = { "$SRV4" }
c2s_ports = { 5222 }
daemonize = false
log = { error = "$WORK/prosody/error.log" }
modules_enabled = { "roster"; "saslauth"; "disco"; "ping" }
authentication = "internal_plain"
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
VirtualHost "vesk.test"
CONF
  prosodyctl --config "$WORK/prosody/prosody.cfg.lua" register alice vesk.test secret > /dev/null 2>&1 || true
  start_s runuser -u prosody -- prosody --config "$WORK/prosody/prosody.cfg.lua"
  local xmpp_pid=${PIDS[-1]}
  wait_port t 5222
  capture_start xmpp
  echo "hello" | in_c timeout 10 sendxmpp -u alice -p secret -j "$SRV4:5222" -o vesk.test -n alice@vesk.test > /dev/null 2>&1 || true
  capture_stop xmpp
  stop_pid "$xmpp_pid"
  teardown
}

# python3-stomp client: connects (STOMP 1.0, 1.1 or 1.2) as guest, subscribes
# to /queue/vesk, sends one message there and waits (bounded) to receive it.
write_stomp_client() {
  cat > "$WORK/stomp_client.py" <<'PY'
import sys, threading, stomp
host, port, version = sys.argv[1], int(sys.argv[2]), sys.argv[3]
got = threading.Event()
class Listener(stomp.ConnectionListener):
    def on_message(self, frame):
        got.set()
cls = {"1.0": stomp.Connection10, "1.1": stomp.Connection11, "1.2": stomp.Connection12}[version]
c = cls([(host, port)]) if version == "1.0" else cls([(host, port)], heartbeats=(0, 0), vhost="/")
c.set_listener("", Listener())
c.connect("guest", "guest", wait=True)
c.subscribe("/queue/vesk", id="1", ack="auto") if version != "1.0" else c.subscribe("/queue/vesk", ack="auto")
c.send("/queue/vesk", "hello")
got.wait(5)
c.disconnect()
PY
}

# rabbitmq-server with its STOMP plugin (its own node, config and data under
# $WORK, epmd started here on the namespace's loopback) and python3-stomp:
# a 1.2 client on 61613 and a 1.0 client on 7613, each connecting,
# subscribing, sending one message and receiving it.
record_stomp() {
  setup 1500
  local i
  start_rabbitmq "$(printf 'listeners.tcp = none\nloopback_users = none\nstomp.listeners.tcp.1 = 61613\nstomp.listeners.tcp.2 = 7613')" '[rabbitmq_stomp].'
  # The broker takes some seconds to boot; wait_port waits 5 s a call.
  for i in $(seq 1 12); do wait_port t 7613 2> /dev/null && break; done
  wait_port t 61613
  write_stomp_client
  capture_start stomp
  in_c timeout 15 /usr/bin/python3 "$WORK/stomp_client.py" "$SRV4" 61613 1.2 || true
  in_c timeout 15 /usr/bin/python3 "$WORK/stomp_client.py" "$SRV4" 7613 1.0 || true
  capture_stop stomp
  stop_pid "$RMQ_PID"
  stop_pid "$RMQ_EPMD_PID"
  teardown
}

# Debian's activemq broker (its own config and data under $WORK, no store)
# with its own command-line producer and consumer speaking OpenWire on 61616
# and on 6616, and python3-stomp (1.1) against its STOMP connector on 61613.
record_activemq() {
  setup 1500
  local amq=$WORK/activemq i
  mkdir -p "$amq/conf" "$amq/data"
  cp /etc/activemq/instances-available/main/log4j2.properties "$amq/conf/"
  cat > "$amq/conf/activemq.xml" <<XML
<beans xmlns="http://www.springframework.org/schema/beans"
       xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
       xsi:schemaLocation="http://www.springframework.org/schema/beans http://www.springframework.org/schema/beans/spring-beans-2.0.xsd
       http://activemq.apache.org/schema/core http://activemq.apache.org/schema/core/activemq-core.xsd">
  <broker xmlns="http://activemq.apache.org/schema/core" useJmx="false" persistent="false"
          brokerName="vesk" dataDirectory="$amq/data" advisorySupport="false">
    <transportConnectors>
      <transportConnector name="openwire" uri="tcp://$SRV4:61616"/>
      <transportConnector name="openwire2" uri="tcp://$SRV4:6616"/>
      <transportConnector name="stomp" uri="stomp://$SRV4:61613"/>
    </transportConnectors>
  </broker>
</beans>
XML
  local java=(java -Xms64M -Xmx256M --add-opens java.base/java.lang=ALL-UNNAMED
    --add-opens java.base/java.util=ALL-UNNAMED --add-opens java.base/java.net=ALL-UNNAMED
    -Dactivemq.home=/usr/share/activemq -Dactivemq.base="$amq" -Dactivemq.conf="$amq/conf"
    -Dactivemq.data="$amq/data" -jar /usr/share/activemq/bin/activemq.jar)
  start_s "${java[@]}" start "xbean:file:$amq/conf/activemq.xml"
  local amq_pid=${PIDS[-1]}
  # The broker takes some seconds to boot; wait_port waits 5 s a call.
  for i in $(seq 1 12); do wait_port t 61613 2> /dev/null && break; done
  wait_port t 61616
  wait_port t 6616
  write_stomp_client
  capture_start activemq
  in_c timeout 30 "${java[@]}" producer --brokerUrl "tcp://$SRV4:61616" --destination queue://vesk \
    --messageCount 1 --messageSize 16 > "$WORK/producer.log" 2>&1 || true
  in_c timeout 30 "${java[@]}" consumer --brokerUrl "tcp://$SRV4:6616" --destination queue://vesk \
    --messageCount 1 > "$WORK/consumer.log" 2>&1 || true
  in_c timeout 15 /usr/bin/python3 "$WORK/stomp_client.py" "$SRV4" 61613 1.1 || true
  capture_stop activemq
  stop_pid "$amq_pid"
  teardown
}

# libnet-smpp-perl on both sides: a small SMSC answering binds, submits,
# enquire_link and unbind, and a transceiver client binding as alice,
# submitting one message, enquiring and unbinding; on 2775 and on 2776.
record_smpp() {
  setup 1500
  cat > "$WORK/smsc.pl" <<'PL'
use strict;
use Net::SMPP;
my ($host, $port) = @ARGV;
my $l = Net::SMPP->new_listen($host, port => $port, smpp_version => 0x34, timeout => 10) or die "listen: $!";
my $s = $l->accept or die "accept: $!";
for (1 .. 20) {
    my $pdu = $s->read_pdu() or last;
    my $cmd = $pdu->{cmd};
    if ($cmd == Net::SMPP::CMD_bind_transceiver) {
        $s->bind_transceiver_resp(seq => $pdu->{seq}, system_id => 'vesk');
    } elsif ($cmd == Net::SMPP::CMD_submit_sm) {
        $s->submit_sm_resp(seq => $pdu->{seq}, message_id => '1');
    } elsif ($cmd == Net::SMPP::CMD_enquire_link) {
        $s->enquire_link_resp(seq => $pdu->{seq});
    } elsif ($cmd == Net::SMPP::CMD_unbind) {
        $s->unbind_resp(seq => $pdu->{seq});
        last;
    }
}
$s->close;
PL
  cat > "$WORK/esme.pl" <<'PL'
use strict;
use Net::SMPP;
my ($host, $port) = @ARGV;
my $c = Net::SMPP->new_transceiver($host, port => $port, smpp_version => 0x34, timeout => 10,
                                   system_id => 'alice', password => 'secret') or die "bind: $!";
$c->submit_sm(source_addr => '4900', destination_addr => '4912345', short_message => 'hello') or die "submit";
$c->enquire_link() or die "enquire_link";
$c->unbind();
PL
  start_s timeout 30 perl "$WORK/smsc.pl" "$SRV4" 2775
  local smsc_pid=${PIDS[-1]}
  wait_port t 2775
  capture_start smpp
  in_c timeout 10 perl "$WORK/esme.pl" "$SRV4" 2775 || true
  stop_pid "$smsc_pid"
  start_s timeout 30 perl "$WORK/smsc.pl" "$SRV4" 2776
  smsc_pid=${PIDS[-1]}
  wait_port t 2776
  in_c timeout 10 perl "$WORK/esme.pl" "$SRV4" 2776 || true
  capture_stop smpp
  stop_pid "$smsc_pid"
  teardown
}

# ngircd on 6667 and 7000 with two clients that open with NICK and USER:
# python3-irc's client on 6667 (registration, a join, a message, quit), and
# a socket client on 7000 that writes NICK and USER at once, as small
# clients do, then joins, says hello and quits.
record_irc_clients() {
  setup 1500
  printf '[Global]\nName = irc.vesk.test\nListen = %s\nPorts = 6667, 7000\n[Options]\nPAM = no\nIdent = no\nDNS = no\n' \
    "$SRV4" > "$WORK/ngircd.conf"
  start_s /usr/sbin/ngircd -n -f "$WORK/ngircd.conf"
  local irc_pid=${PIDS[-1]}
  wait_port t 6667
  wait_port t 7000
  cat > "$WORK/irc_lib.py" <<'PY'
import sys, irc.client
reactor = irc.client.IRC()
done = []
def welcome(c, e):
    c.join("#vesk")
def joined(c, e):
    c.privmsg("#vesk", "hello from python3-irc")
    c.quit("bye")
def disconnected(c, e):
    done.append(1)
c = reactor.server().connect(sys.argv[1], 6667, "carol", username="carol", ircname="Carol")
reactor.add_global_handler("welcome", welcome)
reactor.add_global_handler("join", joined)
reactor.add_global_handler("disconnect", disconnected)
for _ in range(100):
    if done:
        break
    reactor.process_once(0.1)
PY
  cat > "$WORK/irc_raw.py" <<'PY'
import socket, sys
s = socket.create_connection((sys.argv[1], 7000), timeout=5)
s.sendall(b"NICK dave\r\nUSER dave 0 * :Dave the scripted client\r\n")
seen = b""
while b" 376 " not in seen and b" 422 " not in seen:
    data = s.recv(4096)
    if not data:
        break
    seen += data
s.sendall(b"JOIN #vesk\r\n")
while b" 366 " not in seen:
    data = s.recv(4096)
    if not data:
        break
    seen += data
s.sendall(b"PRIVMSG #vesk :hello from a script\r\n")
s.sendall(b"QUIT :bye\r\n")
while s.recv(4096):
    pass
PY
  capture_start irc_clients
  in_c timeout 10 /usr/bin/python3 "$WORK/irc_lib.py" "$SRV4"
  in_c timeout 10 /usr/bin/python3 "$WORK/irc_raw.py" "$SRV4"
  capture_stop irc_clients
  stop_pid "$irc_pid"
  teardown
}
