"""Every column a typed feature: inference of column types (`stypes`),
statistics fitted up to a time and encoding (`encode`), text embedding
(`text`), and the encoded columns as PyTorch Frame `TensorFrame`s (`frames`)."""
