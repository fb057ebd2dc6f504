"""What commands write: findings, text and JSON, the evaluation's report,
output files, and the progress bar."""
