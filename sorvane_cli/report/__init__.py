"""What commands write: findings, text and JSON, the evaluation's report,
output files, tables (Parquet and CSV), and the progress bar."""
