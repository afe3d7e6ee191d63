# Recipes for the database and cache captures of this folder, sourced by
# ../record.sh (which provides setup, start_s, capture_start/capture_stop).
RECIPES+=(databases/postgres databases/mariadb databases/kv databases/z3950_gearman databases/kafka)

# A throw-away PostgreSQL 15 cluster (SCRAM passwords, TLS on) and psql with
# and without TLS.
record_postgres() {
  setup 1500
  local bin=/usr/lib/postgresql/15/bin data="$WORK/pg"
  mkdir -p "$data" && chown postgres "$data" && chmod 755 "$WORK"
  echo secret > "$WORK/pgpass" && chown postgres "$WORK/pgpass"
  runuser -u postgres -- "$bin/initdb" -D "$data" -A scram-sha-256 --pwfile="$WORK/pgpass" > /dev/null
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 3650 \
    -subj "/CN=db.vesk.test" -keyout "$data/server.key" -out "$data/server.crt" 2> /dev/null
  chown postgres "$data/server.key" "$data/server.crt" && chmod 600 "$data/server.key"
  printf "listen_addresses = '%s'\nssl = on\nunix_socket_directories = '%s'\n" "$SRV4" "$data" >> "$data/postgresql.conf"
  echo "host all all 10.200.0.0/24 scram-sha-256" >> "$data/pg_hba.conf"
  start_s runuser -u postgres -- "$bin/postgres" -D "$data"
  local pg_pid=${PIDS[-1]}
  wait_port t 5432
  capture_start postgres
  in_c env PGPASSWORD=secret psql "host=$SRV4 user=postgres dbname=postgres sslmode=disable" -c 'select 1' > /dev/null 2>&1 || true
  in_c env PGPASSWORD=secret psql "host=$SRV4 user=postgres dbname=postgres sslmode=require" -c 'select 1' > /dev/null 2>&1 || true
  capture_stop postgres
  stop_pid "$pg_pid"
  teardown
}

# mariadbd on its own data directory and the mariadb client.
record_mariadb() {
  setup 1500
  local data="$WORK/my"
  mkdir -p "$data" && chown mysql "$data" && chmod 755 "$WORK"
  mariadb-install-db --user=mysql --datadir="$data" --auth-root-authentication-method=normal > /dev/null 2>&1
  start_s /usr/sbin/mariadbd --user=mysql --datadir="$data" --bind-address="$SRV4" --port=3306 \
    --socket="$data/sock" --pid-file="$data/pid" --skip-grant-tables
  local my_pid=${PIDS[-1]}
  wait_port t 3306
  capture_start mariadb
  in_c timeout 10 mariadb -h "$SRV4" -P 3306 -u root -e 'select 1' > /dev/null 2>&1 || true
  capture_stop mariadb
  stop_pid "$my_pid"
  teardown
}

# redis-server (on 6379 and on 7777) with redis-cli, memcached with
# memcstat and a set over its text protocol.
record_kv() {
  setup 1500
  start_s redis-server --bind "$SRV4" --port 6379 --save "" --appendonly no --protected-mode no
  local redis_pid=${PIDS[-1]}
  start_s redis-server --bind "$SRV4" --port 7777 --save "" --appendonly no --protected-mode no
  local redis2_pid=${PIDS[-1]}
  start_s memcached -u nobody -l "$SRV4" -p 11211 -U 0
  local mc_pid=${PIDS[-1]}
  wait_port t 6379
  wait_port t 7777
  wait_port t 11211
  capture_start kv
  in_c redis-cli -h "$SRV4" -p 6379 set greeting hello > /dev/null
  in_c redis-cli -h "$SRV4" -p 7777 get greeting > /dev/null
  in_c timeout 5 /usr/bin/python3 -c "
import socket, sys
s = socket.create_connection((sys.argv[1], 11211), timeout=5)
s.sendall(b'set a 0 0 1\r\nx\r\n'); s.recv(100)
s.sendall(b'get a\r\n'); s.recv(100)
s.close()" "$SRV4" || true
  capture_stop kv
  stop_pid "$mc_pid"
  stop_pid "$redis2_pid"
  stop_pid "$redis_pid"
  teardown
}

# yaz-ztest with yaz-client (init, search, present), gearmand with the
# gearman tool (a job nobody works on, so the submit times out).
record_z3950_gearman() {
  setup 1500
  start_s yaz-ztest "tcp:$SRV4:2100"
  local z_pid=${PIDS[-1]}
  start_s gearmand --listen="$SRV4" --port=4730 --log-file=none
  local g_pid=${PIDS[-1]}
  wait_port t 2100
  wait_port t 4730
  capture_start z3950_gearman
  printf 'open tcp:%s:2100/Default\nfind computer\nshow 1\nquit\n' "$SRV4" | in_c timeout 10 yaz-client > /dev/null 2>&1 || true
  in_c timeout 3 gearman -h "$SRV4" -p 4730 -b -f reverse hello > /dev/null 2>&1 || true
  capture_stop z3950_gearman
  stop_pid "$g_pid"
  stop_pid "$z_pid"
  teardown
}

# python3-kafka's consumer bootstrapping against a listener on 9092 that
# reads and never answers: the ApiVersions request with the library's own
# client id, then with a null client id (client_id=None: length -1).
record_kafka() {
  setup 1500
  cat > "$WORK/kafka_listener.py" <<'PY'
import select, socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind((sys.argv[1], 9092)); s.listen(8)
conns = []
for _ in range(200):
    ready = select.select([s] + conns, [], [], 30)[0]
    if not ready:
        break
    for r in ready:
        if r is s:
            conns.append(s.accept()[0])
        elif not r.recv(65536):
            conns.remove(r); r.close()
PY
  cat > "$WORK/kafka_client.py" <<'PY'
import sys
from kafka import KafkaConsumer
client_id = None if sys.argv[2] == "-" else sys.argv[2]
try:
    KafkaConsumer(bootstrap_servers=sys.argv[1], client_id=client_id, api_version_auto_timeout_ms=2000,
                  request_timeout_ms=3000, reconnect_backoff_max_ms=500)
except Exception:
    pass
PY
  start_s /usr/bin/python3 "$WORK/kafka_listener.py" "$SRV4"
  local k_pid=${PIDS[-1]}
  wait_port t 9092
  capture_start kafka
  in_c timeout 10 /usr/bin/python3 "$WORK/kafka_client.py" "$SRV4:9092" kafka-python-2.0.2 > /dev/null 2>&1 || true
  in_c timeout 10 /usr/bin/python3 "$WORK/kafka_client.py" "$SRV4:9092" - > /dev/null 2>&1 || true
  capture_stop kafka
  stop_pid "$k_pid"
  teardown
}
