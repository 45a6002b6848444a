// Entry sources land here.
