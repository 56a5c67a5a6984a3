// placeholder: filled in by the structure's implementation
