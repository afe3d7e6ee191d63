#!/usr/bin/python3
"""Reference computations for the analytics tests, done with numpy, scipy
and sklearn on the arrays the test hands over. Usage: COMMAND INPUT_FILE;
the input and the output hold one array per line, "name v1 v2 ..."."""
import sys

import numpy as np
from scipy import signal, spatial, stats


def read(path):
    arrays = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if parts:
                arrays[parts[0]] = np.array([float(v) for v in parts[1:]])
    return arrays


def emit(name, values):
    print(name, " ".join(repr(float(v)) for v in np.ravel(values)))


def confidences(errors, divisor_offset, first_n, z):
    """Half-widths from a rolling sum of squared errors that is replaced by
    a fresh one every 64 steps; n counts the values before each step."""
    out, total, fresh = [], 0.0, 0.0
    for step, e in enumerate(errors):
        n = first_n + step
        total += e
        fresh += e
        divisor = n + divisor_offset if n < 64 else n % 64 + 65
        out.append(np.sqrt(total / divisor) * z if divisor else 0.0)
        if step % 64 == 63:
            total, fresh = fresh, 0.0
    return np.array(out)


def ses(a):
    """Single smoothing: F = alpha x + (1 - alpha) F_prev, an IIR filter
    started at the first value; each error is taken against the F that
    holds its own value."""
    x, alpha = a["x"], a["alpha"][0]
    smoothed = signal.lfilter([alpha], [1, -(1 - alpha)], x[1:], zi=[(1 - alpha) * x[0]])[0]
    forecasts = np.concatenate((x[0:1], smoothed))
    errors = (x - forecasts) ** 2
    emit("forecast", forecasts)
    emit("confidence", np.concatenate(([0.0], confidences(errors, 1, 0, a["z"][0])[1:])))


def ses_fit(a):
    x = a["x"]
    best, best_alpha = None, 0.0
    for alpha in np.float32(0.1) + np.arange(18, dtype=np.float32) * np.float32(0.05):
        alpha = float(alpha)
        smoothed = signal.lfilter([alpha], [1, -(1 - alpha)], x[1:], zi=[(1 - alpha) * x[0]])[0]
        score = float(np.sum((x[1:] - smoothed) ** 2))
        if best is None or best == 0 or score <= best:
            best, best_alpha = score, alpha
    emit("alpha", [best_alpha])


def holt(a):
    """Double smoothing: F = alpha x + (1 - alpha)(level + trend), trend =
    beta (F - level) + (1 - beta) trend, level = F."""
    x, alpha, beta = a["x"], a["alpha"][0], a["beta"][0]
    level, trend, forecasts = x[0], 0.0, [x[0]]
    for v in x[1:]:
        f = alpha * v + (1 - alpha) * (level + trend)
        trend = beta * (f - level) + (1 - beta) * trend
        level = f
        forecasts.append(f)
    forecasts = np.array(forecasts)
    errors = (x - forecasts) ** 2
    emit("forecast", forecasts)
    emit("confidence", np.concatenate(([0.0], confidences(errors, 1, 0, a["z"][0])[1:])))


def holt_winters(a):
    """Seasonal factors as ratios to the level (forecast g (L + T)), or, for
    the additive kind, seasonal offsets from the level (forecast L + T + s)."""
    x = a["x"]
    m = int(a["season_length"][0]) + 1
    additive = a["additive"][0] != 0
    alpha, beta, gamma = a["alpha"][0], a["beta"][0], a["gamma"][0]
    warm = x[:m]
    mean = warm.mean()
    if additive:
        season = warm - mean
        level = x[m] - season[m - 1]
    else:
        mean = mean if mean != 0 else 1.0
        season = warm / mean
        level = x[m] / season[m - 1] if season[m - 1] != 0 else 0.0
    trend, forecasts = 0.0, []
    for count in range(m, len(x)):
        v, i = x[count], count % m
        g = season[i]
        forecasts.append(g + level + trend if additive else g * (level + trend))
        if additive:
            new_level = alpha * (v - g) + (1 - alpha) * (level + trend)
            season[i] = gamma * (v - new_level) + (1 - gamma) * g
        elif g != 0:
            new_level = alpha * v / g + (1 - alpha) * (level + trend)
            season[i] = gamma * v / new_level + (1 - gamma) * g if new_level != 0 else 0.0
        else:
            new_level = 0.0
            season[i] = 0.0
        trend = beta * (new_level - level) + (1 - beta) * trend
        level = new_level
    forecasts = np.array(forecasts)
    emit("forecast", forecasts)
    emit("confidence", confidences((x[m:] - forecasts) ** 2, 0, m, a["z"][0]))


def ppf(a):
    emit("z", stats.norm.ppf(a["p"]))


def kmeans(a):
    from sklearn.cluster import KMeans
    from sklearn.metrics import adjusted_rand_score
    k = int(a["k"][0])
    x = a["x"].reshape(-1, int(a["bins"][0]))
    theirs = KMeans(n_clusters=k, n_init=10, random_state=0).fit_predict(x)
    runs = sorted(name for name in a if name.startswith("ours"))
    emit("ari_truth", [adjusted_rand_score(a["truth"], a[r]) for r in runs])
    emit("ari_kmeans", [adjusted_rand_score(theirs, a[r]) for r in runs])


def kd(a):
    d = int(a["d"][0])
    tree = spatial.cKDTree(a["points"].reshape(-1, d))
    queries = a["queries"].reshape(-1, d)
    emit("nearest", tree.query(queries, k=1)[0])
    for i, hits in enumerate(tree.query_ball_point(queries, a["r"][0])):
        emit("range%d" % i, sorted(hits))


def ball(a):
    d, k = int(a["d"][0]), int(a["k"][0])
    tree = spatial.cKDTree(a["points"].reshape(-1, d))
    dist, _ = tree.query(a["queries"].reshape(-1, d), k=k, p=1)
    emit("distances", dist)


def iforest(a):
    from sklearn.ensemble import IsolationForest
    d = int(a["d"][0])
    x = a["points"].reshape(-1, d)
    theirs = -IsolationForest(n_estimators=200, random_state=0).fit(x).score_samples(x)
    ours = a["ours"]
    planted = int(a["planted"][0])
    top = len(x) - planted
    emit("spearman", [stats.spearmanr(ours, theirs).correlation])
    emit("their_top", sorted(np.argsort(-theirs)[:planted]))
    emit("our_top", sorted(np.argsort(-ours)[:planted]))
    emit("their_inlier_p99", [np.percentile(theirs[:top], 99)])


def running(a):
    """Summary of a series and of its last `window` values."""
    x, w = a["x"], int(a["window"][0])
    ring = x[-w:]
    emit("mean", [np.mean(x)])
    emit("variance", [np.var(x)])
    emit("stddev", [np.std(x)])
    emit("jitter", [np.mean(np.abs(np.diff(x)))])
    emit("window_mean", [np.mean(ring)])
    emit("window_variance", [np.var(ring)])
    emit("window_entropy", [stats.entropy(ring, base=2)])
    z = stats.zscore(x)
    emit("outliers", np.flatnonzero(np.abs(z) > 2.5))
    slope, intercept = np.polyfit(np.arange(1, len(x) + 1), x, 1)
    emit("fitted_last", [slope * len(x) + intercept])


def pair(a):
    emit("pearson", [np.corrcoef(a["x"], a["y"])[0, 1]])
    emit("sq_euclidean", [spatial.distance.sqeuclidean(a["x"], a["y"])])


def mahalanobis(a):
    n = int(a["n"][0])
    emit("distance", [spatial.distance.mahalanobis(a["x"], a["mean"], a["vi"].reshape(n, n))])


if __name__ == "__main__":
    {"ses": ses, "ses_fit": ses_fit, "holt": holt, "holt_winters": holt_winters, "ppf": ppf,
     "kmeans": kmeans, "kd": kd, "ball": ball, "iforest": iforest,
     "running": running, "pair": pair, "mahalanobis": mahalanobis}[sys.argv[1]](read(sys.argv[2]))
