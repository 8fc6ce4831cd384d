# (filled in with the store library)
