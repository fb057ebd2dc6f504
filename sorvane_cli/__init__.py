"""Offline toolkit over the experience log that sorvane.log_line writes."""
