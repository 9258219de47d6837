"""Mutation check: plants one small bug at a time, rebuilds, runs the tests that should catch
it, puts the file back, and prints which mutants were caught. Exits non-zero when one
survives or when a mutant's anchor text is no longer in its file (update the table then).

    make mutate                   every mutant
    .venv/bin/python scripts/mutate.py digest lora   only those whose name contains a word
"""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DIGEST = "test_bramwick.py::test_find_ollama_blob_refuses_digests_that_are_not_algorithm_hex"
ROUND_TRIP = "test_store.py::test_save_load_and_export_give_the_same_tensors"
MANIFEST_FIRST = (
    'write_manifest(self.root, {**self.manifest, "finetunes": [*self.manifest["finetunes"], '
    '{"name": self.name, "base_id": self.base_id, "file": rel, "tensors": self.entries}]})'
)

# (name, file, text found there exactly once, what replaces it, tests that should fail)
# fmt: off
MUTANTS = [
    ("digest: any text after the colon", "cpp/bramwick/stores.cpp",
     "i > colon && !hex(d[i])", "false", [DIGEST]),
    ("digest: any text before the colon ('../x:ab')", "cpp/bramwick/stores.cpp",
     "i < colon ? !alnum(d[i])", "i < colon ? false", [DIGEST]),
    ("float16 read as 4 bytes an element", "src/velmora_dryx/_tensorfile.py",
     "    return np_dtype(name).itemsize",
     '    return 4 if name == "float16" else np_dtype(name).itemsize',
     [ROUND_TRIP]),
    ("LoRA A written transposed", "src/velmora_dryx/export.py",
     "a, b = np.ascontiguousarray(a), np.ascontiguousarray(b)",
     "a, b = np.ascontiguousarray(a.T), np.ascontiguousarray(b)", [ROUND_TRIP]),
    ("energy rank: one more value at a tie", "cpp/core/svd.cpp",
     "cum / total < energy", "cum / total <= energy",
     ["test_kestrine_svd.py::test_energy_edge_ranks"]),
    ("checksum not compared on load", "src/velmora_dryx/_library_format.py",
     "        if tf.sha256(a) != digest:", "        if False:",
     ["test_store.py::test_damaged_library_raises_one_error_naming_file_and_problem"]),
    ("manifest written before its file", "src/velmora_dryx/store.py",
     "rel = self.rel", "rel = self.rel; " + MANIFEST_FIRST,
     ["test_store.py::test_failure_while_adding_leaves_the_library_as_it_was"]),
    ("quantization type range starts at -1", "cpp/bramwick/gguf.cpp",
     "(id < 0 || id > 0xffffffffLL)", "(id < -1 || id > 0xffffffffLL)",
     ["test_bramwick_gguf.py::test_dequantize_refuses_bad_input"]),
    ("fixed SVD rank one short", "cpp/kestrine/svd.cpp",
     "std::max(min_rank, by_ratio)", "std::max(min_rank, by_ratio - 1)",
     ["test_kestrine_svd.py::test_fixed_rank_clamps_and_ceiling"]),
    ("Q4_K scale and minimum swapped", "cpp/core/dequant.cpp",
     "half(ld16(s)), dmin = half(ld16(s + 2))", "half(ld16(s + 2)), dmin = half(ld16(s))",
     ["test_bramwick_gguf.py::test_dequantize_matches_gguf"]),
    ("dedup drops the short last block", "cpp/dedup.cpp",
     "off < total;)", "off + ustep <= total;)",
     ["test_dedup.py::test_store_matches_the_oracle"]),
    ("tensor-train cap one lower", "cpp/kestrine/tensor_train.cpp",
     "saturated_ll(max_rank.get()))", "saturated_ll(max_rank.get()) - 1)",
     ["test_kestrine_tensor_train.py::test_matches_oracle"]),
    ("GGUF tensor offset not bounded", "cpp/core/gguf.cpp",
     "t.offset > data_size || ", "",
     ["test_bramwick_gguf.py::test_damaged_files_raise_one_clear_error"]),
]
# fmt: on


def run(*cmd: str, cwd: Path = ROOT) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True)


def build() -> bool:
    """`make build`, which the tests import from (the package is installed, not linked)."""
    done = run("make", "build")
    if done.returncode != 0:
        print(done.stdout + done.stderr, file=sys.stderr)
    return done.returncode == 0


def check(path: Path, anchor: bytes, replacement: bytes, tests: list[str]) -> str:
    """Plants one mutant, runs its tests and always puts the file back."""
    original = path.read_bytes()
    try:
        path.write_bytes(original.replace(anchor, replacement))
        if not build():
            return "ERROR: the mutant does not build"
        pytest = [sys.executable, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider"]
        done = run(*pytest, *tests, cwd=ROOT / "tests")
    finally:
        path.write_bytes(original)
    failed = [line for line in done.stdout.splitlines() if line.startswith("FAILED ")]
    if done.returncode == 1 and failed:
        print(f"  {failed[0][:150]}", flush=True)
        return "caught"
    if done.returncode < 0:
        return f"caught (the test run crashed with signal {-done.returncode})"
    if done.returncode == 0:
        return "SURVIVED"
    return f"ERROR: pytest exit {done.returncode}: {done.stdout.strip().splitlines()[-1:]}"


def main(words: list[str]) -> int:
    status = run("git", "status", "--porcelain").stdout
    results = []
    try:
        for name, file, anchor, replacement, tests in MUTANTS:
            if words and not any(w in name for w in words):
                continue
            found = (ROOT / file).read_bytes().count(anchor.encode())
            if found != 1:
                result = f"ERROR: anchor found {found} times: {anchor!r}"
            else:
                print(f"{name} ...", flush=True)
                result = check(ROOT / file, anchor.encode(), replacement.encode(), tests)
            results.append((name, file, result))
    finally:
        print("rebuilding the unmutated package ...", flush=True)
        rebuilt = build()
        clean = run("git", "status", "--porcelain").stdout == status
        if not clean:
            print("the working tree differs from before the run: see git status", file=sys.stderr)
    if not results:
        print(f"no mutant's name contains any of {words}")
        return 1
    width = [max(len(r[i]) for r in results) for i in (0, 1)]
    for name, file, result in results:
        print(f"{name:<{width[0]}}  {file:<{width[1]}}  {result}")
    caught = sum(r[2].startswith("caught") for r in results)
    print(f"{caught} of {len(results)} mutants caught")
    return 0 if caught == len(results) and rebuilt and clean else 1


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except KeyboardInterrupt:
        sys.exit("interrupted (the planted file was put back before the rebuild)")
