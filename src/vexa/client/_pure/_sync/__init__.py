"""Generated twins of the compiled modules of `vexa.client._sync` (loaded by file, see `vexa.client._modules`)."""
