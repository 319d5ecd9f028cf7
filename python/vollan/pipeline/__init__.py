"""The stages of vollan.detect."""
