# packages.sh -- sourced by test.sh and run.sh: installs the Debian packages the builds need.
# ensure_packages: as root installs what is missing; otherwise names it and returns 2.
# libsystemd-dev and pkg-config: kvlisten's readiness notice; dpkg-dev and adduser: the Debian
# package (dpkg-shlibdeps, its maintainer scripts); iproute2: the namespace test of --interfaces;
# redis-server and libhiredis-dev: the Redis event manager and its tests (Sentinel and cluster are
# redis-server's own modes); libssl-dev: its TLS; openssl: the test CA of its TLS test;
# nginx-light: the peer of the benchmarks (bench/vs_nginx.sh, and its smoke run among the tests).
KV_PACKAGES=(cmake make g++ gcc clang libclang-rt-14-dev googletest curl mingw-w64 mingw-w64-tools wine wine32:i386 libwine-dev
             libsystemd-dev pkg-config dpkg-dev adduser iproute2 git redis-server libhiredis-dev libssl-dev openssl nginx-light chromium)

ensure_packages() {
  local missing=() need_i386=0 p
  for p in "${KV_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || need_i386=1
  (( ${#missing[@]} == 0 && need_i386 == 0 )) && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]}$( ((need_i386)) && echo " (and the i386 dpkg architecture)")" >&2
    echo "run as root once, or: dpkg --add-architecture i386 && apt-get update && apt-get install ${missing[*]}" >&2
    return 2
  fi
  echo "== installing: ${missing[*]}"
  (( need_i386 )) && dpkg --add-architecture i386
  DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
      echo "package installation failed" >&2; return 2; }
}
