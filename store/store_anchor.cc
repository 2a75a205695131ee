// Keeps the store library non-empty while it is being filled.
