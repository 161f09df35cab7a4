#!/usr/bin/env bash
# Builds the release build and its benchmarks, runs each beside its
# reference in the same run, and prints one table of ratios (ours / the
# reference's time: below 1 is faster). Everything runs in throw-away
# profiles under a temporary folder; nothing of the user's is touched.
#   scripts/bench.sh            all of it (about 10 minutes on 2 cores)
#   scripts/bench.sh --quick    shorter runs, for a look
# The raw results stay in build/bench-results/.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1
bash scripts/install.sh >/dev/null
bash scripts/build.sh >&2
bin=$PWD/build/bin
out=$PWD/build/bench-results
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d "${TMPDIR:-/tmp}/velmora-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
min_time=0.5
[ $quick = 1 ] && min_time=0.1
runs=10
[ $quick = 1 ] && runs=3

# A fresh profile for the commands below.
profile() {
  local d=$work/profile-$1
  rm -rf "$d"
  mkdir -p "$d/data" "$d/config" "$d/run"
  chmod 700 "$d/run"
  echo "$d"
}
in_profile() {
  local d=$1
  shift
  HOME=$d XDG_DATA_HOME=$d/data XDG_CONFIG_HOME=$d/config XDG_RUNTIME_DIR=$d/run "$@"
}
# Seconds for `runs` runs of a command, one after another.
time_runs() {
  local n=$1
  shift
  local start end
  start=$(date +%s.%N)
  for _ in $(seq "$n"); do "$@" >/dev/null 2>&1 || { echo "bench: '$*' failed" >&2; return 1; }; done
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

echo "== digests, ciphers, store, signing (Google Benchmark) ==" >&2
for b in digest cipher store signing; do
  "$bin/bench_$b" --benchmark_min_time=$min_time --benchmark_out="$out/$b.json" --benchmark_out_format=json \
    >"$out/$b.log" 2>&1 ||
    echo "bench: bench_$b failed (see $out/$b.log)" >&2
done

echo "== requests beside openssl req ==" >&2
p=$(profile req)
rsa=$(in_profile "$p" time_runs $runs "$bin/bench_request" rsa)
ossl_rsa=$(time_runs $runs openssl req -newkey rsa:2048 -nodes -subj /CN=Bench -keyout "$work/k.pem" -out "$work/r.pem")
ec=$(in_profile "$p" time_runs $runs "$bin/bench_request" ec)
ossl_ec=$(time_runs $runs openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=Bench \
  -keyout "$work/k.pem" -out "$work/r.pem")
fsync_rsa=?
fsync_ec=?
if command -v strace >/dev/null; then
  count_syncs() { in_profile "$p" strace -f -qq -e trace=fsync,fdatasync,sync_file_range,msync -o "$work/strace" "$@" \
    >/dev/null 2>&1; grep -cE "^[0-9]+ +(fsync|fdatasync|sync_file_range|msync)\(" "$work/strace" || true; }
  fsync_rsa=$(count_syncs "$bin/bench_request" rsa)
  fsync_ec=$(count_syncs "$bin/bench_request" ec)
fi

echo "== velmora-store list beside openssl, hive size ==" >&2
n_list=10000
[ $quick = 1 ] && n_list=1000
p=$(profile list)
"$bin/bench_store" --fill "$p" $n_list >/dev/null
hive=$p/data/velmora/hive.sqlite
sqlite3 "$hive" "PRAGMA wal_checkpoint(TRUNCATE);" >/dev/null 2>&1 || true
hive_bytes=$(stat -c %s "$hive")
cert_bytes=$(openssl crl2pkcs7 -nocrl -certfile "$p/all.pem" -outform DER | wc -c)
list=$(in_profile "$p" time_runs 3 "$bin/velmora-store" list MY)
ossl_list=$(time_runs 3 sh -c "openssl crl2pkcs7 -nocrl -certfile '$p/all.pem' | openssl pkcs7 -print_certs -noout")

echo "== process start ==" >&2
p=$(profile start)
start_ours=$(in_profile "$p" time_runs 20 "$bin/velmora-call" 'getVersion()')
start_ossl=$(time_runs 20 openssl version)

echo "== bridge round trip (real program under Xvfb) ==" >&2
"$bin/bench_bridge_roundtrip" >"$out/bridge.txt" 2>"$out/bridge.log" || echo "bench: bridge round trip failed" >&2

cat >"$out/scalars.json" <<JSON
{"rsa": $rsa, "ossl_rsa": $ossl_rsa, "ec": $ec, "ossl_ec": $ossl_ec, "runs": $runs,
 "fsync_rsa": "$fsync_rsa", "fsync_ec": "$fsync_ec",
 "n_list": $n_list, "list": $list, "ossl_list": $ossl_list, "hive_bytes": $hive_bytes, "cert_bytes": $cert_bytes,
 "start": $start_ours, "ossl_start": $start_ossl}
JSON

python3 - "$out" <<'PY'
import json, os, re, sys
out = sys.argv[1]
def load(name):
    try:
        return {b["name"]: b for b in json.load(open(os.path.join(out, name)))["benchmarks"]
                if b.get("run_type", "iteration") == "iteration"}
    except Exception:
        return {}
def t(b):  # real time per iteration in ms
    unit = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b.get("time_unit", "ns")]
    return b["real_time"] * unit
rows = []
def row(what, ours, ref, refname, note=""):
    rows.append((what, ours, ref, refname, note))
def size(n):
    n = int(n)
    return f"{n >> 20} MiB" if n >= 1 << 20 else f"{n >> 10} KiB" if n >= 1024 else f"{n} B"

d = load("digest.json")
for name, b in d.items():
    m = re.match(r"Digest/(\w+)/Strabel/(\d+)$", name)
    if m and int(m.group(2)) >= 4096:
        ref = d.get(f"Digest/{m.group(1)}/OpenSSL/{m.group(2)}")
        if ref: row(f"digest {m.group(1)} {size(m.group(2))}", t(b), t(ref), "OpenSSL EVP")
c = load("cipher.json")
for alg, label in (("des3", "triple DES"), ("des", "DES")):
    for op, refop in (("SymEncrypt", "encrypt"), ("SymDecrypt", "decrypt")):
        for n in (8 << 10, 1 << 20, 16 << 20):
            b = c.get(f"BM_{op}/{alg}/{n}")
            ref = c.get(f"BM_OpensslEnc/{alg}_{refop}/{n}")
            if b and ref: row(f"{op} {label} {size(n)}", t(b), t(ref), "OpenSSL EVP + Base64")
s = load("store.json")
small = s.get("BM_AcceptPkcs7IntoMy/10")
for n in (10, 1000, 10000):
    b = s.get(f"BM_AcceptPkcs7IntoMy/{n}")
    if b and small: row(f"AcceptPKCS7 into MY of {n:,}", t(b), t(small), "the same into MY of 10")
for n in (10, 1000, 10000):
    b = s.get(f"BM_SelectSignerIn/{n}")
    if b: row(f"SelectSigner over {n:,}", t(b), None, "", "")
g = load("signing.json")
if g.get("BM_SignPkcs7StoreRsa2048") and g.get("BM_OpensslRsa2048Sign"):
    row("SignPkcs7 RSA-2048", t(g["BM_SignPkcs7StoreRsa2048"]), t(g["BM_OpensslRsa2048Sign"]), "OpenSSL RSA sign")
v = json.load(open(os.path.join(out, "scalars.json")))
r = v["runs"]
row("CreatePKCS10 RSA-2048 (process)", v["rsa"] / r * 1e3, v["ossl_rsa"] / r * 1e3, "openssl req -newkey rsa:2048",
    f"syncs: {v['fsync_rsa']}")
row("CreateEccPKCS10 P-256 (process)", v["ec"] / r * 1e3, v["ossl_ec"] / r * 1e3, "openssl req -newkey ec",
    f"syncs: {v['fsync_ec']}")
row(f"velmora-store list MY of {v['n_list']:,}", v["list"] / 3 * 1e3, v["ossl_list"] / 3 * 1e3,
    "openssl pkcs7 -print_certs",
    f"hive {(v['hive_bytes'] - v['cert_bytes']) / v['n_list']:.0f} B per certificate beyond the certificate")
row("process start", v["start"] / 20 * 1e3, v["ossl_start"] / 20 * 1e3, "openssl version")
bridge = open(os.path.join(out, "bridge.txt")).read() if os.path.exists(os.path.join(out, "bridge.txt")) else ""
med = re.search(r"median per call:\s*([\d.]+)", bridge)
p99 = re.search(r"p99 per call:\s*([\d.]+)", bridge)

print(f"{'operation':44} {'ours':>11} {'reference':>11} {'ratio':>7}  reference / note")
for what, ours, ref, refname, note in rows:
    ratio = f"{ours / ref:6.2f}x" if ref else ""
    refs = f"{ref:9.3f}ms" if ref is not None else ""
    print(f"{what:44} {ours:9.3f}ms {refs:>11} {ratio:>7}  {refname}{'; ' if refname and note else ''}{note}")
if med and p99:
    print(f"{'bridge round trip from page script':44} p50 {med.group(1)} us, p99 {p99.group(1)} us (goal: 50 / 150 us)")
PY
echo "(machine: $(nproc) cores, $(uname -m), $(date -u +%Y-%m-%d))"
