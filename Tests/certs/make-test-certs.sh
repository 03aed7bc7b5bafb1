#!/usr/bin/env bash
# Creates the certificate material that the TLS tests, the benchmarks and the demo run with.
#
#   Tests/certs/make-test-certs.sh <dir>
#
# Everything is generated on the spot with the `openssl` program; no key is ever committed.
# Running it again is cheap: when <dir> already holds a complete set it does nothing. Several
# processes may call it at once for the same <dir>; a lock makes the others wait until the set
# is complete. C++ test programs get the same directory through Tests/TestCerts.h
# (`testcerts::testCerts()`), which calls this script once per build tree.
#
# Files in <dir> (all PEM; keys are EC P-256 so that generation takes milliseconds):
#   ca.crt, ca.key                   the test CA; the receiver and the client trust it
#   server.crt, server.key           server certificate for 127.0.0.1 and localhost (SAN), by ca
#   client.crt, client.key           client certificate by ca; its key is encrypted under the
#                                    pass phrase "wexol"
#   other-ca.crt, other-ca.key       a second CA that nobody trusts
#   other-server.crt, other-server.key   server certificate (127.0.0.1, localhost) by other-ca
#   other-client.crt, other-client.key   client certificate by other-ca (key not encrypted)
#   wrong.key                        a key that matches none of the certificates
#   corrupt.pem                      a PEM "certificate" whose body is not a certificate
#   evil-server.crt, evil-server.key server certificate by ca for another name (SAN evil.example)
#   soon-client.crt                  client certificate by ca for client.key that expires 10 days
#                                    after it was made
set -euo pipefail

if [ $# -ne 1 ] || [ "$1" = "-h" ] || [ "$1" = "--help" ]; then
    sed -n '2,24p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
fi

mkdir -p "$1"
dir=$(cd "$1" && pwd)
exec 9>"$dir/.lock"
flock 9

files=(ca.crt ca.key server.crt server.key client.crt client.key other-ca.crt other-ca.key
       other-server.crt other-server.key other-client.crt other-client.key wrong.key corrupt.pem
       evil-server.crt evil-server.key soon-client.crt)

complete() {
    [ -f "$dir/.complete" ] || return 1
    for f in "${files[@]}"; do
        [ -s "$dir/$f" ] || return 1
    done
    # The soon expiring certificate is made anew before it gets within 5 days of its end.
    openssl x509 -checkend 432000 -noout -in "$dir/soon-client.crt" >/dev/null
}
complete && exit 0

work=$(mktemp -d "$dir/.work.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

newkey() {
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null
}

make_ca() { # name, common name
    newkey "$1.key"
    openssl req -new -x509 -key "$1.key" -out "$1.crt" -days 3650 -subj "/O=Kri Test/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
}

sign() { # name, ca, common name, extensions file, key (default name.key), days (default 3650)
    openssl req -new -key "${5:-$1.key}" -out "$1.csr" -subj "/O=Kri Test/CN=$3"
    openssl x509 -req -in "$1.csr" -CA "$2.crt" -CAkey "$2.key" -CAcreateserial -days "${6:-3650}" \
        -out "$1.crt" -extfile "$4" 2>/dev/null
    rm -f "$1.csr"
}

cat >server.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
sed 's/^subjectAltName=.*/subjectAltName=DNS:evil.example/' server.ext >evil-server.ext
cat >client.ext <<'EXT'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=clientAuth
EXT

make_ca ca "Kri Test CA"
make_ca other-ca "Kri Other Test CA"

newkey server.key
sign server ca "localhost" server.ext
newkey evil-server.key
sign evil-server ca "evil.example" evil-server.ext
newkey other-server.key
sign other-server other-ca "localhost" server.ext
newkey other-client.key
sign other-client other-ca "Kri Other Test Client" client.ext

newkey client.plain.key
sign client ca "Kri Test Client" client.ext client.plain.key
sign soon-client ca "Kri Test Client" client.ext client.plain.key 10
openssl pkcs8 -topk8 -v2 aes-256-cbc -in client.plain.key -out client.key -passout pass:wexol
rm -f client.plain.key

newkey wrong.key

{
    echo "-----BEGIN CERTIFICATE-----"
    echo "VGhpcyBpcyBub3QgYSBjZXJ0aWZpY2F0ZS4gSXQgaXMgYnJva2VuIG9uIHB1cnBv"
    echo "c2Uu!!!!"
    echo "-----END CERTIFICATE-----"
} >corrupt.pem

chmod 600 ./*.key
for f in "${files[@]}"; do
    mv -f "$f" "$dir/$f"
done
touch "$dir/.complete"
