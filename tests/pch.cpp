// Anchor of the precompiled header shared by the test executables.
