#!/usr/bin/env bash
# Installs the Debian packages that are missing, and only those (a warm
# machine skips apt entirely).
#   install-deps.sh           everything: the build, every test suite and the
#                             benchmarks (what `make test` needs)
#   install-deps.sh --runtime what building and running the firewall needs
#                             (what `make run` needs)
set -euo pipefail
runtime=(
  build-essential cmake pkg-config clang
  libnetfilter-queue-dev libnfnetlink-dev libnetfilter-conntrack-dev libmnl-dev
  libzmq3-dev zlib1g-dev libjson-c-dev libcurl4-openssl-dev
  libbpf-dev libelf-dev bpftool libroaring-dev uthash-dev libssl-dev
  iptables nfacct publicsuffix
)
tests=(
  libclang-rt-14-dev libpcap-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 ethtool conntrack nftables tcpdump tshark iperf3 apache2-utils
  curl dnsutils dnsmasq-base busybox openssh-server openssh-client openssl iputils-ping
  krb5-kdc krb5-user slapd ldap-utils
  python3 python3-zmq python3-scapy python3-cryptography python3-numpy python3-scipy python3-sklearn python3-crcmod
  ngtcp2-client ngtcp2-server
  ngircd python3-irc mosquitto mosquitto-clients
  netbase wamerican wamerican-insane util-linux procps
  sqlmap wfuzz
)
case "${1:-}" in
  --runtime) pkgs=("${runtime[@]}") ;;
  "") pkgs=("${runtime[@]}" "${tests[@]}") ;;
  *) echo "usage: $0 [--runtime]" >&2; exit 2 ;;
esac
missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
