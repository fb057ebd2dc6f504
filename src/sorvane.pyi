# Type stub for the sorvane extension module (filled in by the typing work).
