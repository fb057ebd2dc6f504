"""Off-policy evaluation: the targets, the long-run replay and its reward
model, rejection sampling, the weighted estimators, the learners, and the
native path of the weighted method."""
