// Placeholder until the Linux backend lands.
