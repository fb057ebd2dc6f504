"""The experience log: where its bytes come from, its lines and events, its
header, what its head tells, the configuration, values compared as it
carries them, and the snapshot layout of the states it continues from."""
