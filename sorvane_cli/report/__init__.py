"""What commands write: findings, text and JSON, the evaluation's report,
the sweep's ranking and recommendation, output files, tables (Parquet and
CSV), and the progress bar."""
