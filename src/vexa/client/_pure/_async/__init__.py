"""Generated twins of the compiled modules of `vexa.client._async` (loaded by file, see `vexa.client._modules`)."""
