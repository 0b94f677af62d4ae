#!/usr/bin/python3
"""Times our clustering against a numpy/scipy implementation of the same algorithm.

Makes one hour of speaker embeddings (3,600 x 256 from 10 speakers) and PLDA features
(3,600 x 128), writes them for clustering_bench, runs it, then runs the reference on the same
data in this process: centroid linkage (scipy.cluster.hierarchy.linkage), the flat cut that stops
at the first merge above the threshold, and 20 VBx iterations in numpy. Prints each time, the
ratios, the thread counts and the benchmark's peak resident memory, and checks that both sides
find the same clusters.

Usage: clustering_vs_reference.py path/to/clustering_bench [threads]
A test and benchmark helper only (Debian python3-numpy, python3-scipy).
"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
from scipy.cluster.hierarchy import linkage

THRESHOLD = 0.6
FA, FB, SMOOTHING, ITERATIONS = 0.07, 0.8, 7.0, 20


def make_data(n=3600, d=256, p=128, speakers=10, seed=7):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((speakers, d))
    centres /= np.linalg.norm(centres, axis=1, keepdims=True)
    owner = np.arange(n) * speakers // n
    emb = centres[owner] + 0.02 * rng.standard_normal((n, d))
    emb /= np.linalg.norm(emb, axis=1, keepdims=True)
    plda_centres = 3.0 * rng.standard_normal((speakers, p))
    plda = plda_centres[owner] + rng.standard_normal((n, p))
    return emb.astype(np.float32), plda.astype(np.float32)


def phi_table(source):
    """The 128 values of the across-class covariance, read from the library's table."""
    text = open(source).read()
    body = text[text.index("kPldaPhi = {") + len("kPldaPhi = {"):]
    body = body[:body.index("};")]
    return np.array([float(v.strip().rstrip("f")) for v in body.split(",") if v.strip()])


def flat_cut(z, threshold):
    n = z.shape[0] + 1
    parent = list(range(2 * n - 1))

    def root(i):
        while parent[i] != i:
            i = parent[i]
        return i

    for i, row in enumerate(z):
        if row[2] > threshold:
            break
        a, b = root(int(row[0])), root(int(row[1]))
        parent[a] = parent[b] = n + i
    labels, seen = np.empty(n, dtype=np.int64), {}
    for j in range(n):
        labels[j] = seen.setdefault(root(j), len(seen))
    return labels


def vbx(labels, x, phi, iterations=ITERATIONS, fa=FA, fb=FB, smoothing=SMOOTHING):
    t, s = x.shape[0], labels.max() + 1
    gamma = np.zeros((t, s))
    gamma[np.arange(t), labels] = 1
    gamma = np.exp(gamma * smoothing)
    gamma /= gamma.sum(axis=1, keepdims=True)
    pi = np.full(s, 1.0 / s)
    g = -0.5 * (np.sum(x ** 2, axis=1) + x.shape[1] * np.log(2 * np.pi))
    rho = x * np.sqrt(phi)
    elbo_prev = None
    for _ in range(iterations):
        inv_l = 1.0 / (gamma.sum(axis=0)[:, None] * fa / fb * phi + 1)
        alpha = fa / fb * inv_l * (gamma.T @ rho)
        log_p = fa * (rho @ alpha.T - 0.5 * (inv_l + alpha ** 2) @ phi + g[:, None])
        lpi = np.log(pi + 1e-8)
        a = log_p + lpi
        m = a.max(axis=1, keepdims=True)
        lpx = np.log(np.exp(a - m).sum(axis=1)) + m[:, 0]
        gamma = np.exp(a - lpx[:, None])
        pi = gamma.sum(axis=0) / gamma.sum()
        elbo = lpx.sum() + fb * 0.5 * np.sum(np.log(inv_l) - inv_l - alpha ** 2 + 1)
        if elbo_prev is not None and elbo - elbo_prev < 1e-4:
            break
        elbo_prev = elbo
    return gamma, pi


def best_of(runs, fn):
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        best = min(best, time.perf_counter() - start)
    return best * 1000.0, result


def main():
    bench = sys.argv[1]
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    here = os.path.dirname(os.path.abspath(__file__))
    phi = phi_table(os.path.join(here, "..", "..", "src", "diarization", "vbx.cpp"))
    emb, plda = make_data()
    with tempfile.TemporaryDirectory() as folder:
        emb.tofile(os.path.join(folder, "embeddings.f32"))
        plda.tofile(os.path.join(folder, "plda.f32"))
        with open(os.path.join(folder, "shape.txt"), "w") as f:
            f.write(f"{emb.shape[0]} {emb.shape[1]} {plda.shape[1]}\n")
        labels_file = os.path.join(folder, "labels.txt")
        env = dict(os.environ, DELLOMAR_BENCH_DATA=folder, DELLOMAR_BENCH_LABELS=labels_file)
        out = subprocess.run([bench, "--benchmark_format=json", "--benchmark_repetitions=3",
                              "--benchmark_report_aggregates_only=true"],
                             env=env, check=True, capture_output=True, text=True).stdout
        peak_mb = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss / 1024.0
        ours_labels = np.loadtxt(labels_file, dtype=np.int64)
    ours = {}
    for b in json.loads(out)["benchmarks"]:
        if b.get("aggregate_name") == "min" or (b.get("aggregate_name") == "mean" and b["run_name"] not in ours):
            ours[b["run_name"]] = b["real_time"]

    ref_linkage_ms, z = best_of(3, lambda: linkage(emb, method="centroid"))
    ref_cut_ms, ref_labels = best_of(3, lambda: flat_cut(z, THRESHOLD))
    ref_vbx_ms, _ = best_of(3, lambda: vbx(ref_labels, plda.astype(np.float64), phi))
    ref_total = ref_linkage_ms + ref_cut_ms + ref_vbx_ms

    def show(name, our_ms, ref_ms):
        print(f"{name:34s} ours {our_ms:10.2f} ms   numpy/scipy {ref_ms:10.2f} ms   ratio {ref_ms / our_ms:7.1f}x")

    show("centroid linkage (1 thread)", ours["BM_CentroidLinkage/1"], ref_linkage_ms)
    show(f"centroid linkage ({threads} threads)", ours[f"BM_CentroidLinkage/{threads}"], ref_linkage_ms)
    show("flat cut", ours["BM_FlatClusters"], ref_cut_ms)
    show("VBx, 20 iterations", ours["BM_VBx20"], ref_vbx_ms)
    show("all three (1 thread)", ours["BM_LinkageCutAndVBx/1"], ref_total)
    show(f"all three ({threads} threads)", ours[f"BM_LinkageCutAndVBx/{threads}"], ref_total)
    print(f"clustering_bench peak RSS: {peak_mb:.1f} MB")
    same = len(set(ours_labels)) == len(set(ref_labels)) and all(
        len(set(ref_labels[ours_labels == c])) == 1 for c in set(ours_labels))
    print(f"clusters: ours {len(set(ours_labels))}, reference {len(set(ref_labels))}, same partition: {same}")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
