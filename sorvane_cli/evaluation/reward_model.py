"""The reward model of the long-run estimator's doubly robust terms: for
each candidate id, a ridge regression of the logged reward on the context,
fitted on the whole log before the replay.

The context becomes tokens: a text, boolean or null value is the token
`name=value` with weight 1, a number the token `name` with its value, any
other value the token `name=<its JSON>` with weight 1. Tokens are numbered in
the order they first appear (the first MAX_TOKENS of them; later ones are
ignored), so the fit is a deterministic function of the log. Each candidate
id's regression predicts the reward's offset from the log's mean reward,
shrunk towards 0 by the ridge, so a candidate seldom chosen gets about the
mean. The model only lowers the variance of the doubly robust terms: a poor
fit leaves them unbiased.
"""
import json
import math

import numpy as np

from sorvane_cli.evaluation.arithmetic import float_arithmetic, fsum

MAX_TOKENS = 256
RIDGE = 1.0
# Predictions kept for contexts and candidate lists seen before (logs repeat them).
MAX_REMEMBERED = 100_000


def _token_values(context):
    if type(context) is not dict:
        return
    for name, value in context.items():
        if type(value) in (int, float):
            if math.isfinite(value):
                yield name, float(value)
        elif value is None or type(value) in (str, bool):
            yield f"{name}={value}", 1.0
        else:
            yield f"{name}={json.dumps(value, sort_keys=True, default=str)}", 1.0


class RewardModel:
    """Collects (context, chosen candidate's id, reward) while the log is
    read, then fits; `predict` gives every candidate's predicted reward."""

    def __init__(self):
        self._tokens = {}
        # candidate id -> ([token index lists], [value lists], [rewards])
        self._rows = {}
        self.mean = 0.0
        self.low = math.inf
        self.high = -math.inf
        self._coef = {}
        # Once fitted, a token first seen later has no coefficient: it is ignored.
        self._fitted = False
        self._remembered = {}

    def _encode(self, context):
        indices, values = [], []
        for token, value in _token_values(context):
            k = self._tokens.get(token)
            if k is None:
                if self._fitted or len(self._tokens) >= MAX_TOKENS:
                    continue
                k = self._tokens[token] = len(self._tokens)
            indices.append(k)
            values.append(value)
        return indices, values

    def observe(self, context, candidate_id, reward):
        """One resolved decision: the context, the chosen candidate's id, its reward."""
        if not math.isfinite(reward):
            return
        indices, values = self._encode(context)
        rows = self._rows.setdefault(candidate_id, ([], [], []))
        rows[0].append(indices)
        rows[1].append(values)
        rows[2].append(reward)
        self.low = min(self.low, reward)
        self.high = max(self.high, reward)

    def fit(self):
        d = len(self._tokens) + 1
        groups = []
        for candidate_id, (indices, values, rewards) in self._rows.items():
            x = np.zeros((len(rewards), d))
            x[:, -1] = 1.0
            for i, (ks, vs) in enumerate(zip(indices, values)):
                x[i, ks] = vs
            groups.append((candidate_id, x, rewards))
        self._solve(groups)
        self._rows.clear()

    def fit_rows(self, tokens, groups, low, high):
        """Fits on the rows the native pass gathered (`RewardRowsPass`):
        the tokens in column order, and per candidate id its rows (packed
        row ends, columns, values) and rewards, as observe() would have
        gathered them."""
        self._tokens = {token: k for k, token in enumerate(tokens)}
        self.low, self.high = low, high
        d = len(tokens) + 1
        solved = []
        for candidate_id, ends, columns, values, rewards in groups:
            ends = np.frombuffer(ends, dtype=np.uint64).astype(np.intp)
            rewards = np.frombuffer(rewards, dtype=np.float64)
            x = np.zeros((len(rewards), d))
            x[:, -1] = 1.0
            rows = np.repeat(np.arange(len(rewards)), np.diff(ends, prepend=0))
            x[rows, np.frombuffer(columns, dtype=np.uint32)] = np.frombuffer(values, dtype=np.float64)
            solved.append((candidate_id, x, rewards))
        self._solve(solved)

    def _solve(self, groups):
        """Each candidate id's ridge regression; `groups`: (id, design matrix, rewards) in the ids' order."""
        d = len(self._tokens) + 1
        total = sum(fsum(rewards) for _, _, rewards in groups)
        count = sum(len(rewards) for _, _, rewards in groups)
        self.mean = total / count if count else 0.0
        # Rewards near the float range's edge overflow as Python floats would, without a warning.
        with float_arithmetic():
            for candidate_id, x, rewards in groups:
                y = np.asarray(rewards) - self.mean
                gram = x.T @ x + RIDGE * np.eye(d)
                self._coef[candidate_id] = np.linalg.solve(gram, x.T @ y)
        self._fitted = True

    def tables(self):
        """The fitted model as the native replay takes it: (tokens in column
        order, [(candidate id, coefficients as packed float64)], mean, low, high)."""
        return (list(self._tokens), [(key, np.ascontiguousarray(coef, dtype=np.float64).tobytes())
                                     for key, coef in self._coef.items()], self.mean, self.low, self.high)

    def predict(self, context, candidate_ids):
        """The predicted reward of each candidate, kept inside the rewards seen."""
        try:
            key = (tuple(context.items()), tuple(candidate_ids))
            out = self._remembered.get(key)
        except (AttributeError, TypeError):
            # Not a dict, or values that cannot be keys: computed every time.
            return self._predict(context, candidate_ids)
        if out is None:
            if len(self._remembered) >= MAX_REMEMBERED:
                self._remembered.clear()
            out = self._remembered[key] = self._predict(context, candidate_ids)
        return out

    def _predict(self, context, candidate_ids):
        indices, values = self._encode(context)
        out = []
        for candidate_id in candidate_ids:
            coef = self._coef.get(candidate_id)
            r = self.mean
            if coef is not None:
                r += float(coef[-1]) + fsum([float(coef[k]) * v for k, v in zip(indices, values)])
            out.append(min(max(r, self.low), self.high) if self.low <= self.high else r)
        return out
