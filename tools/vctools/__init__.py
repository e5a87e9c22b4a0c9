"""Helpers shared by the tests, the demo, the benchmark and the fuzzer:
capture files in the three ValtoCrane layouts, and TShark run with or
without the plugin."""
