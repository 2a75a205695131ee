// Keeps the upload library non-empty while it is being filled.
