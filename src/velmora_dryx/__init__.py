"""Store many fine-tunes of one base model cheaply and measure what the compression costs.

The five modules are native extensions, imported on demand:
``kestrine`` (tensor compression), ``tamsel`` (model library), ``dedup`` (block
deduplication), ``lornet`` (Hugging Face I/O and perplexity) and ``bramwick`` (local GGUF
models).
"""

__all__ = ["bramwick", "dedup", "kestrine", "lornet", "tamsel"]
__version__ = "0.1.0"
