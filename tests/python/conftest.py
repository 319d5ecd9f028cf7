"""Shared test configuration."""

from __future__ import annotations

import os
import sys

import pytest

# The tests import the plain-Python reference as a sibling module.
sys.path.insert(0, os.path.dirname(__file__))

# Set by `make test-asan-python`: the extension runs under AddressSanitizer, whose allocator
# aborts on absurd allocation sizes instead of failing them, holds freed memory in quarantine
# (so RSS is no measure of leaks) and reserves terabytes of address space (so address-space
# limits cannot be used).
SANITIZED = os.environ.get("VOLLAN_SANITIZED") == "1"

needs_plain_allocator = pytest.mark.skipif(
    SANITIZED, reason="needs the plain allocator, not the sanitizer's"
)
