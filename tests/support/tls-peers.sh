#!/usr/bin/env bash
# tls-peers.sh [--wine] COMMAND [ARG...]
# Runs COMMAND with TLS servers to talk to, and stops them when it ends.
# Certificates are made afresh with openssl; every TLS front is a socat that
# forwards what it decrypts to 127.0.0.1:$QHG_TLS_BACKEND_PORT, a plain port
# the test process itself listens on, so a test sees exactly the bytes that
# came through and answers or misbehaves as it likes. With --wine, file paths
# are given as a Windows program under Wine sees them (Z:\...).
#
# COMMAND gets:
#   QHG_TLS_CA               PEM file of the test CA, the only one that signs the good certificates
#   QHG_TLS_NAME             the DNS name the good certificate carries besides IP 127.0.0.1
#   QHG_TLS_BACKEND_PORT     the plain port every front connects to once its handshake is done
#   QHG_TLS_GOOD_PORT        good certificate, TLS 1.2 or 1.3; ends with close_notify when
#                            the backend closes
#   QHG_TLS_TLS12_PORT       the same, TLS 1.2 only
#   QHG_TLS_RESET_PORT       the same, but a backend close resets the TCP connection, with no
#                            close_notify
#   QHG_TLS_EXPIRED_PORT     a certificate past its notAfter
#   QHG_TLS_FUTURE_PORT      a certificate before its notBefore
#   QHG_TLS_OTHER_NAME_PORT  a certificate for other.test and 127.0.0.2
#   QHG_TLS_UNTRUSTED_PORT   a certificate from a CA that is not QHG_TLS_CA
#   QHG_TLS_OLD_PORT         good certificate, TLS 1.1 only
#   QHG_TLS_SUBJECT          the good certificate's subject, as "O=..., CN=..."
#   QHG_TLS_ISSUER           its issuer, the same way
#   QHG_TLS_NOT_AFTER        its notAfter, in seconds since 1970 UTC
#   QHG_TLS_SHA256           its fingerprint as `openssl x509 -fingerprint -sha256` prints it
set -euo pipefail
wine=false
if [ "${1:-}" = --wine ]; then
  wine=true
  shift
fi
[ $# -gt 0 ] || { echo "usage: $0 [--wine] COMMAND [ARG...]" >&2; exit 2; }
for tool in openssl socat python3; do
  command -v "$tool" >/dev/null || { echo "tls-peers.sh: $tool is not installed" >&2; exit 1; }
done

dir=$(mktemp -d "${TMPDIR:-/tmp}/qhg-tls-peers.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"

# Two CAs, one key for every leaf.
ca() { # ca NAME SUBJECT
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 30 \
    -subj "$2" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
  : >"$1.index"
  echo 1000 >"$1.serial"
}
ca ca "/O=Quillet Hollin Test/CN=Test CA"
ca rogue "/O=Elsewhere/CN=Rogue CA"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out leaf.key 2>/dev/null
cat >ca.cnf <<'EOF'
[ca]
default_ca = signer
[signer]
database = $ENV::CA_NAME.index
serial = $ENV::CA_NAME.serial
new_certs_dir = .
default_md = sha256
policy = any
unique_subject = no
x509_extensions = leaf
[any]
organizationName = optional
commonName = supplied
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $ENV::SAN
EOF
leaf() { # leaf NAME CA SUBJECT SAN START END
  openssl req -new -key leaf.key -subj "$3" -out "$1.csr" 2>/dev/null
  CA_NAME=$2 SAN=$4 openssl ca -batch -notext -config ca.cnf -cert "$2.pem" -keyfile "$2.key" \
    -startdate "$5" -enddate "$6" -in "$1.csr" -out "$1.pem" 2>/dev/null
}
name=txserver.test
start=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ)
end=$(date -u -d '+20 days' +%Y%m%d%H%M%SZ)
leaf good ca "/O=Quillet Hollin Test/CN=$name" "DNS:$name,IP:127.0.0.1" "$start" "$end"
leaf expired ca "/CN=$name" "DNS:$name,IP:127.0.0.1" 20200101000000Z 20210101000000Z
leaf future ca "/CN=$name" "DNS:$name,IP:127.0.0.1" 20990101000000Z 21000101000000Z
leaf other ca "/CN=other.test" "DNS:other.test,IP:127.0.0.2" "$start" "$end"
leaf untrusted rogue "/CN=$name" "DNS:$name,IP:127.0.0.1" "$start" "$end"

ports=($(python3 -c '
import socket
held = [socket.socket() for _ in range(9)]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))'))
backend=${ports[0]}

front() { # front PORT CERT [SOCAT-OPTIONS]
  socat -d "OPENSSL-LISTEN:$1,bind=127.0.0.1,reuseaddr,fork,cert=$2.pem,key=leaf.key,verify=0${3:-}" \
    "TCP:127.0.0.1:$backend" 2>>"front-$1.log" &
  pids+=($!)
}
front "${ports[1]}" good
front "${ports[2]}" good ",max-version=TLS1.2"
# Closed at once, not shut down: no close_notify, and linger 0 makes the close a reset.
front "${ports[3]}" good ",shut-close,linger=0"
front "${ports[4]}" expired
front "${ports[5]}" future
front "${ports[6]}" other
front "${ports[7]}" untrusted
front "${ports[8]}" good ",min-version=TLS1,max-version=TLS1.1,cipher=DEFAULT@SECLEVEL=0"
# Listening before COMMAND starts.
python3 - "${ports[@]:1}" <<'EOF'
import socket, sys, time
for port in map(int, sys.argv[1:]):
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            break
        except OSError:
            time.sleep(0.05)
EOF

path() {
  if $wine; then
    local p="Z:$dir/$1"
    printf '%s' "${p//\//\\}"
  else
    printf '%s' "$dir/$1"
  fi
}
fingerprint=$(openssl x509 -in good.pem -noout -fingerprint -sha256)
export QHG_TLS_CA=$(path ca.pem)
export QHG_TLS_NAME=$name
export QHG_TLS_BACKEND_PORT=$backend
export QHG_TLS_GOOD_PORT=${ports[1]}
export QHG_TLS_TLS12_PORT=${ports[2]}
export QHG_TLS_RESET_PORT=${ports[3]}
export QHG_TLS_EXPIRED_PORT=${ports[4]}
export QHG_TLS_FUTURE_PORT=${ports[5]}
export QHG_TLS_OTHER_NAME_PORT=${ports[6]}
export QHG_TLS_UNTRUSTED_PORT=${ports[7]}
export QHG_TLS_OLD_PORT=${ports[8]}
export QHG_TLS_SUBJECT="O=Quillet Hollin Test, CN=$name"
export QHG_TLS_ISSUER="O=Quillet Hollin Test, CN=Test CA"
export QHG_TLS_NOT_AFTER=$(date -u -d "$(openssl x509 -in good.pem -noout -enddate | cut -d= -f2)" +%s)
export QHG_TLS_SHA256=${fingerprint#*=}
cd "$OLDPWD"
status=0
"$@" || status=$?
if [ "$status" -ne 0 ]; then
  for log in "$dir"/front-*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; tail -n 20 "$log"; } >&2
  done
fi
exit "$status"
