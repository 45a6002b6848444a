// Observer sources land here.
