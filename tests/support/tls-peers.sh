#!/usr/bin/env bash
# tls-peers.sh [--wine] COMMAND [ARG...]
# Runs COMMAND with TLS servers to talk to, and stops them when it ends.
# Certificates are made afresh with openssl; every TLS front is a socat that
# forwards what it decrypts to 127.0.0.1:$QHG_TLS_BACKEND_PORT, a plain port
# the test process itself listens on, so a test sees exactly the bytes that
# came through and answers or misbehaves as it likes. With --wine, file paths
# are given as a Windows program under Wine sees them (Z:\...), and when
# $QHG_IMPORT_PFX names the import_pfx helper, COMMAND's first word (the
# emulator) runs it first to put the client certificates into the prefix's
# local machine store.
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
#   QHG_TLS_GOOD_LOG         what the QHG_TLS_GOOD_PORT front logs, notices included
# Client certificates: the good one is issued by an intermediate CA under QHG_TLS_CA.
#   QHG_TLS_REQUIRE_PORT     good certificate, TLS 1.2 or 1.3, requires a client certificate
#                            that leads to QHG_TLS_CA: the intermediate must come with it
#   QHG_TLS_REQUIRE12_PORT   the same, TLS 1.2 only, and trusting the intermediate itself
#                            (Wine's Schannel sends no chain)
#   QHG_TLS_CLIENT_CERT      PEM: the good client certificate and its chain
#   QHG_TLS_CLIENT_KEY       its key, mode 0600; QHG_TLS_CLIENT_LOOSE_KEY the same, 0640;
#                            QHG_TLS_CLIENT_ENCRYPTED_KEY the same with a passphrase;
#                            QHG_TLS_CLIENT_OTHER_KEY another key
#   QHG_TLS_CLIENT_EXPIRED   PEM: an expired client certificate with its chain, same key
#   QHG_TLS_CLIENT_ROGUE     PEM: a client certificate from the rogue CA, same key
#   QHG_TLS_CLIENT_SUBJECT, _ISSUER, _NOT_AFTER, _SHA256: the good client certificate's
#                            facts, as for the server's; _EXPIRED_SHA256, _ROGUE_SHA256 the
#                            others' fingerprints, and _MISMATCH_SHA256 that of a certificate
#                            the Windows store holds with the good one's key (under Wine)
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
[client]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = clientAuth
[subca]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
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

# Client certificates: an intermediate CA under the test CA, and leaves with their own keys.
client() { # client NAME CA KEY SECTION SUBJECT START END
  openssl req -new -key "$3" -subj "$5" -out "$1.csr" 2>/dev/null
  CA_NAME=$2 SAN=DNS:unused openssl ca -batch -notext -config ca.cnf -cert "$2.pem" \
    -keyfile "$2.key" -extensions "$4" -startdate "$6" -enddate "$7" -in "$1.csr" \
    -out "$1.pem" 2>/dev/null
}
for key in clientca client other; do
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$key.key" 2>/dev/null
done
: >clientca.index
echo 2000 >clientca.serial
client clientca ca clientca.key subca "/O=Quillet Hollin Test/CN=Test Client CA" "$start" "$end"
client client clientca client.key client "/O=Quillet Hollin Test/CN=gateway-client" "$start" "$end"
client client-expired clientca client.key client "/CN=gateway-client" 20200101000000Z 20210101000000Z
client client-rogue rogue client.key client "/CN=gateway-client" "$start" "$end"
client client-mismatch clientca other.key client "/CN=gateway-mismatch" "$start" "$end"
for c in client client-expired client-mismatch; do cat clientca.pem >>"$c.pem"; done
chmod 600 client.key other.key
cp -p client.key client-loose.key
chmod 640 client-loose.key
openssl pkey -in client.key -aes256 -passout pass:secret -out client-encrypted.key
chmod 600 client-encrypted.key

ports=($(python3 -c '
import socket
held = [socket.socket() for _ in range(11)]
for s in held: s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in held))'))
backend=${ports[0]}

front() { # front PORT CERT [SOCAT-OPTIONS] [SOCAT-LOG-OPTIONS]
  local verify=,verify=0
  [[ "${3:-}" != *verify=* ]] || verify=
  socat ${4:--d} "OPENSSL-LISTEN:$1,bind=127.0.0.1,reuseaddr,fork,cert=$2.pem,key=leaf.key$verify${3:-}" \
    "TCP:127.0.0.1:$backend" 2>>"front-$1.log" &
  pids+=($!)
}
front "${ports[1]}" good "" "-d -d"
front "${ports[2]}" good ",max-version=TLS1.2"
# Closed at once, not shut down: no close_notify, and linger 0 makes the close a reset.
front "${ports[3]}" good ",shut-close,linger=0"
front "${ports[4]}" expired
front "${ports[5]}" future
front "${ports[6]}" other
front "${ports[7]}" untrusted
front "${ports[8]}" good ",min-version=TLS1,max-version=TLS1.1,cipher=DEFAULT@SECLEVEL=0"
front "${ports[9]}" good ",verify=1,cafile=ca.pem"
cat ca.pem clientca.pem >client-trust.pem
front "${ports[10]}" good ",verify=1,cafile=client-trust.pem,max-version=TLS1.2"
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
fingerprint() { # fingerprint CERT
  local line
  line=$(openssl x509 -in "$1.pem" -noout -fingerprint -sha256)
  printf '%s' "${line#*=}"
}
if $wine && [ -n "${QHG_IMPORT_PFX:-}" ]; then
  for c in client client-expired client-rogue client-mismatch; do
    key=client.key
    [ "$c" != client-mismatch ] || key=other.key
    openssl pkcs12 -export -in "$c.pem" -inkey "$key" -passout pass: -out "$c.pfx"
  done
  # The mismatch certificate goes into the store with the good certificate's key.
  "$1" "$QHG_IMPORT_PFX" "$(path client.pfx)" "$(path client-expired.pfx)" \
    "$(path client-rogue.pfx)" --key-from "$(path client.pfx)" "$(path client-mismatch.pfx)"
fi
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
export QHG_TLS_SHA256=$(fingerprint good)
export QHG_TLS_GOOD_LOG=$(path "front-${ports[1]}.log")
export QHG_TLS_REQUIRE_PORT=${ports[9]}
export QHG_TLS_REQUIRE12_PORT=${ports[10]}
export QHG_TLS_CLIENT_CERT=$(path client.pem)
export QHG_TLS_CLIENT_KEY=$(path client.key)
export QHG_TLS_CLIENT_LOOSE_KEY=$(path client-loose.key)
export QHG_TLS_CLIENT_ENCRYPTED_KEY=$(path client-encrypted.key)
export QHG_TLS_CLIENT_OTHER_KEY=$(path other.key)
export QHG_TLS_CLIENT_EXPIRED=$(path client-expired.pem)
export QHG_TLS_CLIENT_ROGUE=$(path client-rogue.pem)
export QHG_TLS_CLIENT_SUBJECT="O=Quillet Hollin Test, CN=gateway-client"
export QHG_TLS_CLIENT_ISSUER="O=Quillet Hollin Test, CN=Test Client CA"
export QHG_TLS_CLIENT_NOT_AFTER=$(date -u -d "$(openssl x509 -in client.pem -noout -enddate | cut -d= -f2)" +%s)
export QHG_TLS_CLIENT_SHA256=$(fingerprint client)
export QHG_TLS_CLIENT_EXPIRED_SHA256=$(fingerprint client-expired)
export QHG_TLS_CLIENT_ROGUE_SHA256=$(fingerprint client-rogue)
export QHG_TLS_CLIENT_MISMATCH_SHA256=$(fingerprint client-mismatch)
cd "$OLDPWD"
status=0
"$@" || status=$?
if [ "$status" -ne 0 ]; then
  for log in "$dir"/front-*.log; do
    [ -s "$log" ] && { echo "--- $(basename "$log")"; tail -n 20 "$log"; } >&2
  done
fi
exit "$status"
