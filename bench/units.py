"""The byte units of the figures and of what /proc tells (kB: 1024 bytes)."""

KB = 1024
MB = 1 << 20
GIB = 1 << 30
