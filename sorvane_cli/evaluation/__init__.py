"""Off-policy evaluation: the targets, the long-run replay and its reward
model, rejection sampling, the weighted estimators, the learners, the native
path of the weighted method, and the log as the dict other evaluation
libraries take (`feedback`)."""
