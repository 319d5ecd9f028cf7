"""Statistics shared by the stages of vollan.detect, each written once."""
