// The layer checks link a library whole into a shared object; this is its only own source.
