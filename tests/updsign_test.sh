#!/usr/bin/env bash
# The updsign command line against the openssl command line, both ways:
# keys made by either serve the other, signatures are byte for byte the
# same; refusals with exit code 1 and their reasons, bad command lines with
# exit code 2. Arguments: the updsign binary, the expected version.
source "$(dirname "$0")/tool_test_lib.sh"
updsign=$1
version=$2
cd "$dir" || exit 1

{ printf 'MZ'; head -c 200000 /dev/urandom; } >build.exe
"$updsign" keygen own.pem own.pub --bits 2048 >/dev/null || fail "keygen"
[ "$(stat -c %a own.pem)" = 600 ] || fail "the private key is not owner-only: $(stat -c %a own.pem)"
openssl pkey -in own.pem -check -noout >/dev/null 2>&1 || fail "openssl does not take the private key"
openssl pkey -in own.pem -pubout | cmp -s - own.pub || fail "the public key is not the private key's"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ossl.pem 2>/dev/null
openssl rsa -in ossl.pem -traditional -out ossl1.pem 2>/dev/null
openssl pkey -in ossl.pem -pubout -out ossl.pub
for key in own ossl ossl1; do
    "$updsign" sign $key.pem build.exe -o $key.sig >/dev/null || fail "sign with $key.pem"
    openssl dgst -sha256 -sign $key.pem -out $key.ossl.sig build.exe
    cmp -s $key.sig $key.ossl.sig || fail "updsign and openssl sign differently with $key.pem"
    openssl dgst -sha256 -verify ${key%1}.pub -signature $key.sig build.exe >/dev/null || fail "openssl refuses $key.sig"
    "$updsign" verify ${key%1}.pub build.exe -s $key.ossl.sig >/dev/null || fail "updsign refuses openssl's $key signature"
done
"$updsign" sign own.pem build.exe >/dev/null && cmp -s build.exe.sig own.sig || fail "sign writes FILE.sig"

cp build.exe tampered.exe && printf 'x' | dd of=tampered.exe bs=1 seek=5000 conv=notrunc 2>/dev/null
cp own.sig tampered.exe.sig
head -c 100 own.sig >cut.sig
: >empty.sig
head -c 5000 /dev/zero >big.sig
mkdir folder.pem
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out short.pem 2>/dev/null
openssl pkey -in short.pem -pubout -out short.pub
openssl pkey -in own.pem -aes256 -passout pass:x -out enc.pem
openssl rsa -in own.pem -aes256 -passout pass:x -traditional -out enc1.pem 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ec.pem
cp own.pem own.pem.bak
ln -s own.pem link.pem && ln build.exe hard.exe && echo old >old.sig
cp build.exe linked.exe && ln -s own.pem linked.exe.sig
cp build.exe other.exe && echo keep >elsewhere.txt && ln -s elsewhere.txt other.exe.sig
cat own.pub own.pem >both.pem
cat ossl.pub own.pub >rollover.pub
expect_rows "$updsign" <<TABLE
--version|0|updsign $version
verify own.pub build.exe -h|0|usage: updsign keygen PRIVATE.pem PUBLIC.pem
verify own.pub build.exe|0|valid: 'build.exe.sig' is the signature of 'build.exe' for 'own.pub'
verify own.pub tampered.exe|1|'tampered.exe.sig' is not the signature of 'tampered.exe' for 'own.pub'
verify ossl.pub build.exe|1|is not the signature of 'build.exe' for 'ossl.pub'
verify own.pub build.exe -s cut.sig|1|'cut.sig' is not the signature
verify own.pub build.exe -s empty.sig|1|'empty.sig' is empty
verify own.pub build.exe -s big.sig|1|'big.sig' is larger than 4096 bytes
verify own.pub build.exe -s none.sig|1|'none.sig' does not exist
verify own.pub none.exe -s own.sig|1|'none.exe' does not exist
verify folder.pem build.exe|1|'folder.pem' is a folder
verify own.pem build.exe|1|'own.pem' holds a private key; verify needs the public key, the one that lies beside the monitors as UpdateKey.pem
verify own.pub none.exe|1|'none.exe' does not exist
verify both.pem build.exe|1|'both.pem' holds a private key
verify short.pub build.exe|1|'short.pub' holds an RSA key of 1024 bits, shorter than 2048 (block 1)
verify rollover.pub build.exe|0|valid: 'build.exe.sig'
verify build.exe own.pub|1|the arguments look swapped: 'build.exe' is a program, not a key
verify own.pub own.pem|1|the arguments look swapped: 'own.pem' is a PEM file, not a build
sign short.pem build.exe|1|it is a 1024-bit RSA key; keys of 2048 bits or more are needed
sign own.pub build.exe|1|it is a public key; sign needs the private key
sign enc.pem build.exe|1|it is encrypted with a passphrase
sign enc1.pem build.exe|1|it is encrypted with a passphrase
sign ec.pem build.exe|1|it is not an RSA key
sign build.exe own.pem|1|the arguments look swapped: 'build.exe' is a program, not a key
sign own.pem build.exe -o own.pem --force|1|'own.pem' is the private key
sign own.pem build.exe -o link.pem --force|1|'link.pem' is the private key
sign own.pem build.exe -o ./build.exe --force|1|'./build.exe' is the file being signed
sign own.pem build.exe -o hard.exe --force|1|'hard.exe' is the file being signed
sign own.pem build.exe -o old.sig|1|'old.sig' exists already; --force replaces it
sign own.pem linked.exe|1|'linked.exe.sig' is the private key; delete 'linked.exe.sig' first
sign own.pem other.exe|1|'other.exe.sig' is a link to 'elsewhere.txt'; sign writes the signature as a file of its own: delete the link first
sign own.pem build.exe -o nodir/x.sig|1|'nodir/x.sig' cannot be written: No such file or directory
sign own.pem build.exe -o old.sig --force|0|old.sig: 256 bytes
sign own.pem build.exe --force|2|--force goes with sign --output
keygen own.pem new.pub|1|'own.pem' exists already
keygen a.pem a.pem|2|two names
keygen a.pem b.pem --bits 1024|2|must be 2048, 3072 or 4096, not '1024'
sign own.pem build.exe --bits 2048|2|--bits goes with keygen
verify own.pub build.exe --signature|2|--signature needs a value
sign own.pem|2|sign takes a KEY and a FILE
frob a b|2|unknown command 'frob'
|2|say keygen, sign or verify
TABLE
[ ! -e new.pub ] || fail "a refused keygen wrote the public key"
cmp -s own.pem own.pem.bak && cmp -s build.exe hard.exe && cmp -s old.sig own.sig && [ "$(cat elsewhere.txt)" = keep ] ||
    fail "sign wrote over what it must not"
echo "updsign ok"
