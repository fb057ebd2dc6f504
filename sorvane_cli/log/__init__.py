"""The experience log: where its bytes come from, its lines and events, its
header, what its head tells, the configuration, values compared as it
carries them, the snapshot layout of the states it continues from, a state read whole
(`state_contents`), the log as columns (`columns`, by the extension in
`native_columns`) and the log's feature pairs
by the coordinate they hash to (`feature_map`)."""
