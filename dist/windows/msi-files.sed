# wixl-heat's list of the package folder's files, fitted to kestrum.wxs:
# every component 64-bit, and the folder itself installed as INSTALLDIR,
# Program Files\Kestrum.
s/<Component /<Component Win64="yes" /
s/<Directory Id="[^"]*" Name="Kestrum-[^"]*-win64">/<Directory Id="INSTALLDIR" Name="Kestrum">/
