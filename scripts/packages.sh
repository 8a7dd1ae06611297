# packages.sh -- sourced by test.sh and run.sh: installs the Debian packages the builds need.
# ensure_packages: as root installs what is missing; otherwise names it and returns 2. test.sh
# needs them all (KV_PACKAGES); run.sh only what its run needs.
# libsystemd-dev and pkg-config: kvlisten's readiness notice; dpkg-dev, adduser, lintian and
# logrotate: the Debian package (dpkg-shlibdeps, its maintainer scripts, its checks and log rule);
# iproute2: the namespace test of --interfaces; redis-server and libhiredis-dev: the Redis event
# manager and its tests (Sentinel and cluster are redis-server's own modes); libssl-dev: its TLS;
# openssl: the test CA of its TLS test; nginx-light: the peer of the benchmarks (bench/vs_nginx.sh,
# and its smoke run among the tests); chromium: the status page's test in a real browser.
KV_PACKAGES=(cmake make g++ gcc clang libclang-rt-14-dev googletest curl mingw-w64 mingw-w64-tools wine wine32:i386 libwine-dev
             libsystemd-dev pkg-config dpkg-dev adduser lintian logrotate iproute2 git redis-server libhiredis-dev libssl-dev
             openssl nginx-light chromium)

# What ./run.sh needs: the native build of the listener, its host and tools and both event
# managers; under --wine the cross build and Wine instead.
KV_RUN_PACKAGES=(cmake make g++ gcc pkg-config libsystemd-dev libhiredis-dev libssl-dev curl)
KV_WINE_RUN_PACKAGES=(cmake make mingw-w64 mingw-w64-tools wine wine32:i386 curl)

# ensure_packages [PACKAGE...]: those (by default KV_PACKAGES), and the i386 architecture where
# one of them is an i386 package.
ensure_packages() {
  local wanted=("$@") missing=() need_i386=0 p
  (( ${#wanted[@]} )) || wanted=("${KV_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386; then need_i386=1; fi
  done
  (( ${#missing[@]} == 0 && need_i386 == 0 )) && return 0
  if [[ $(id -u) -ne 0 ]]; then
    echo "missing packages: ${missing[*]}$( ((need_i386)) && echo " (and the i386 dpkg architecture)")" >&2
    echo "run as root once, or: $( ((need_i386)) && echo "dpkg --add-architecture i386 && ")apt-get update && apt-get install ${missing[*]}" >&2
    return 2
  fi
  echo "== installing: ${missing[*]}"
  (( need_i386 )) && dpkg --add-architecture i386
  DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || {
      echo "package installation failed" >&2; return 2; }
}
