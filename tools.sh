# Sourced by run.sh, test.sh and package.sh: makes sure the Debian packages
# the build, the tests, the package and the window need are there, and
# installs what is missing.

zeva_packages="cmake g++ make qt6-base-dev qt6-charts-dev fonts-nanum"
# Manual pages, the menu entry's check, the Debian package and its checks.
zeva_packages="$zeva_packages scdoc desktop-file-utils dpkg-dev file man-db"
# zeva-exporter: http-parser (requests), libcrypt (bcrypt passwords),
# yaml-cpp, prometheus-cpp; Prometheus itself for promtool and the
# end-to-end test; openssl and apache2-utils (htpasswd) make a certificate
# and a password hash in its tests, netcat-openbsd a peer that half-closes.
zeva_packages="$zeva_packages libhttp-parser-dev libcrypt-dev libyaml-cpp-dev prometheus-cpp-dev prometheus"
zeva_packages="$zeva_packages openssl apache2-utils netcat-openbsd"
# tcpdump reads the captures of zeva --pcap back in the tests.
zeva_packages="$zeva_packages tcpdump"
# The fuzzing harnesses (fuzz.sh): clang and its libFuzzer and sanitizer runtimes.
zeva_packages="$zeva_packages clang-14 libclang-rt-14-dev"

zeva_install_missing() {
  local missing=() p
  for p in $zeva_packages "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]} ..."
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
}
