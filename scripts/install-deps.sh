#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# but only when one of them is missing (a warm machine skips apt entirely).
set -euo pipefail
pkgs=(
  build-essential cmake pkg-config clang libclang-rt-14-dev
  libnetfilter-queue-dev libnfnetlink-dev libnetfilter-conntrack-dev libmnl-dev
  libzmq3-dev zlib1g-dev libjson-c-dev libcurl4-openssl-dev
  libbpf-dev libelf-dev bpftool libroaring-dev uthash-dev libpcap-dev libssl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  iproute2 ethtool iptables conntrack nfacct nftables tcpdump tshark iperf3 apache2-utils
  curl dnsutils dnsmasq-base busybox openssh-server openssh-client openssl iputils-ping
  krb5-kdc krb5-user slapd ldap-utils
  python3 python3-zmq python3-scapy python3-cryptography python3-numpy python3-scipy python3-sklearn python3-crcmod
  ngtcp2-client ngtcp2-server
  netbase publicsuffix wamerican wamerican-insane util-linux procps
)
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
