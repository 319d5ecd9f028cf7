"""Type stub of vollan._kernels, the package's private native kernels."""
