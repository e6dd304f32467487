// Stand-in for the product's broker in end-to-end runs: only its presence
// matters to setup.
int wmain() { return 0; }
