# The Windows executables: icon, version and manifest; the MSI (package-msi).
