"""What commands write: findings, text and JSON, the evaluation's report,
the sweep's ranking and recommendation, output files, and the progress bar."""
