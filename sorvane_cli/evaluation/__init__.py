"""Off-policy evaluation: the targets, rejection sampling, the weighted
estimators, the learners, and the native path of the weighted method."""
