"""Statistics shared by the stages of detection."""
