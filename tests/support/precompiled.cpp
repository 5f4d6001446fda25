// Compiled only to make the precompiled header that every test program reuses.
