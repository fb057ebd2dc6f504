"""The log replayed through the module: the replayer (the reference), the
native path, the NaN signs and feature owners the log leaves out, and
checkpoint segments."""
