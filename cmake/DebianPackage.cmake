# The Debian package, made by CPack.
