"""Off-policy evaluation: the targets, the long-run replay and its reward
model, rejection sampling, the weighted estimators, the learners, the native
path of the weighted method, the log as the dict other evaluation
libraries take (`feedback`), and how their arrays are summed (`arithmetic`)."""
