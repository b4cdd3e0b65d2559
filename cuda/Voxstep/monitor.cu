// Placeholder until this feature is built.
