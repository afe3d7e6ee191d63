# Recipes for the web-application captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop
# and the rest). The small Java and Python programs beside this file are
# test tools the recipes run as peers.
RECIPES+=(web_apps/ajp web_apps/jrmi web_apps/soap web_apps/json_rpc)
WEB_APPS=$(dirname "${BASH_SOURCE[0]}")

# tomcat10 on the server's side with two AJP connectors (8009 and 18009,
# no shared secret, no HTTP connector, no shutdown port) serving a static
# page; apache2's mod_proxy_ajp on the client's side forwards curl's
# requests to them.
record_ajp() {
  setup 1500
  local base=$WORK/tomcat
  mkdir -p "$base/conf" "$base/logs" "$base/temp" "$base/work" "$base/webapps/ROOT" "$WORK/apache"
  cp /etc/tomcat10/web.xml /etc/tomcat10/logging.properties /etc/tomcat10/catalina.properties "$base/conf/"
  echo 'hello from the container' > "$base/webapps/ROOT/index.html"
  cat > "$base/conf/server.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<Server port="-1" shutdown="SHUTDOWN">
  <Service name="Catalina">
    <Connector protocol="AJP/1.3" address="$SRV4" port="8009" secretRequired="false"/>
    <Connector protocol="AJP/1.3" address="$SRV4" port="18009" secretRequired="false"/>
    <Engine name="Catalina" defaultHost="localhost">
      <Host name="localhost" appBase="webapps" unpackWARs="false" autoDeploy="false"/>
    </Engine>
  </Service>
</Server>
XML
  cat > "$WORK/apache/apache2.conf" <<CONF
ServerRoot /usr/lib/apache2
ServerName proxy.vesk.test
PidFile $WORK/apache/apache2.pid
ErrorLog $WORK/apache/error.log
LoadModule mpm_event_module modules/mod_mpm_event.so
LoadModule authz_core_module modules/mod_authz_core.so
LoadModule proxy_module modules/mod_proxy.so
LoadModule proxy_ajp_module modules/mod_proxy_ajp.so
User www-data
Group www-data
Listen 127.0.0.1:8080
ProxyPass /std/ ajp://$SRV4:8009/
ProxyPass /alt/ ajp://$SRV4:18009/
CONF
  ip netns exec "$NS_S" env CATALINA_HOME=/usr/share/tomcat10 CATALINA_BASE="$base" \
    CATALINA_TMPDIR="$base/temp" /usr/share/tomcat10/bin/catalina.sh run > "$WORK/tomcat.log" 2>&1 &
  local tomcat_pid=$!
  PIDS+=($tomcat_pid)
  local i
  for i in $(seq 1 60); do
    in_s ss -H -ltn "sport = :18009" | grep -q . && break
    sleep 0.5
  done
  wait_port t 8009
  wait_port t 18009
  ip netns exec "$NS_C" apache2 -f "$WORK/apache/apache2.conf" -DFOREGROUND > "$WORK/apache.log" 2>&1 &
  local apache_pid=$!
  PIDS+=($apache_pid)
  for i in $(seq 1 50); do
    in_c ss -H -ltn "sport = :8080" | grep -q . && break
    sleep 0.1
  done
  capture_start ajp
  in_c curl -s -m 5 -H 'Host: app.vesk.test' http://127.0.0.1:8080/std/ > /dev/null || true
  in_c curl -s -m 5 -H 'Host: app.vesk.test' http://127.0.0.1:8080/alt/ > /dev/null || true
  capture_stop ajp
  stop_pid "$apache_pid"
  stop_pid "$tomcat_pid"
  teardown
}

# A Java registry (LocateRegistry.createRegistry, one name bound) on 1099
# and on 4711; a Java client lists its names (Registry.list).
record_jrmi() {
  setup 1500
  mkdir -p "$WORK/jrmi"
  javac -d "$WORK/jrmi" "$WEB_APPS/RegistryServer.java" "$WEB_APPS/RegistryList.java"
  local port pids=()
  for port in 1099 4711; do
    ip netns exec "$NS_S" java -Djava.rmi.server.hostname="$SRV4" -cp "$WORK/jrmi" RegistryServer "$port" \
      > "$WORK/jrmi-$port.log" 2>&1 &
    pids+=($!)
    PIDS+=($!)
  done
  local i
  for i in $(seq 1 60); do
    in_s ss -H -ltn "sport = :4711" | grep -q . && in_s ss -H -ltn "sport = :1099" | grep -q . && break
    sleep 0.25
  done
  capture_start jrmi
  for port in 1099 4711; do
    in_c timeout 20 java -cp "$WORK/jrmi" RegistryList "$SRV4" "$port" > /dev/null || true
  done
  capture_stop jrmi
  for i in "${pids[@]}"; do stop_pid "$i"; done
  teardown
}

# curl POSTs a SOAP envelope with a SOAPAction header to a python3
# http.server handler on 8080 that answers with an envelope; then a suds
# client fetches the handler's WSDL and calls its operation (on 8081, a
# second handler, so each client has its own flows); last python3-zeep
# does the same against a SOAP 1.2 handler on 8082 (no SOAPAction header:
# the action rides in the content type application/soap+xml).
record_soap() {
  setup 1500
  start_s /usr/bin/python3 "$WEB_APPS/soap_server.py" "$SRV4" 8080
  local srv_pid=${PIDS[-1]}
  start_s /usr/bin/python3 "$WEB_APPS/soap_server.py" "$SRV4" 8081
  local suds_srv_pid=${PIDS[-1]}
  wait_port t 8080
  start_s /usr/bin/python3 "$WEB_APPS/soap_server.py" "$SRV4" 8082 1.2
  local zeep_srv_pid=${PIDS[-1]}
  wait_port t 8081
  wait_port t 8082
  capture_start soap
  in_c curl -s -m 5 -H 'Content-Type: text/xml; charset=utf-8' -H 'SOAPAction: "urn:vesk-test#GetTime"' \
    --data-binary '<?xml version="1.0" encoding="UTF-8"?>
<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"><soap:Body><GetTime xmlns="urn:vesk-test"/></soap:Body></soap:Envelope>' \
    http://ws.vesk.test:8080/clock --resolve "ws.vesk.test:8080:$SRV4" > /dev/null || true
  in_c timeout 20 /usr/bin/python3 -c '
import sys, suds.client
c = suds.client.Client("http://%s:8081/clock?wsdl" % sys.argv[1], cache=None)
c.service.GetTime()' "$SRV4" || true
  in_c timeout 20 /usr/bin/python3 -c '
import sys, zeep
zeep.Client("http://%s:8082/clock?wsdl" % sys.argv[1]).service.GetTime()' "$SRV4" || true
  capture_stop soap
  stop_pid "$srv_pid"
  stop_pid "$suds_srv_pid"
  stop_pid "$zeep_srv_pid"
  teardown
}

# JSON-RPC 2.0 between curl and a python3 handler over HTTP on 8080, once
# typed application/json-rpc and once application/json; then the same
# request as a raw JSON object on TCP 4000 from python3's socket module.
record_json_rpc() {
  setup 1500
  start_s /usr/bin/python3 "$WEB_APPS/json_rpc_server.py" http "$SRV4" 8080
  local http_pid=${PIDS[-1]}
  start_s /usr/bin/python3 "$WEB_APPS/json_rpc_server.py" tcp "$SRV4" 4000
  local tcp_pid=${PIDS[-1]}
  wait_port t 8080
  wait_port t 4000
  capture_start json_rpc
  local type
  for type in application/json-rpc application/json; do
    in_c curl -s -m 5 -H "Content-Type: $type" --data-binary '{"jsonrpc": "2.0", "method": "sum", "params": [1, 2], "id": 1}' \
      http://rpc.vesk.test:8080/rpc --resolve "rpc.vesk.test:8080:$SRV4" > /dev/null || true
  done
  in_c timeout 10 /usr/bin/python3 -c '
import json, socket, sys
s = socket.create_connection((sys.argv[1], 4000), timeout=5)
s.sendall(json.dumps({"jsonrpc": "2.0", "method": "sum", "params": [1, 2], "id": 1}).encode() + b"\n")
s.recv(4096)
s.close()' "$SRV4" || true
  capture_stop json_rpc
  stop_pid "$http_pid"
  stop_pid "$tcp_pid"
  teardown
}
