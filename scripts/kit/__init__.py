"""The operator's kit behind scripts/publish."""
