// Simulated desktop sources land here.
