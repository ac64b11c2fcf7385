"""What the tests and the benchmarks drive the fleet with, and the
deployable example does without: the attacks on the front (attacks.py), the
front's access log read back (front_log.py) and the busy machine
(busy.py). On the path of the repository's environments beside support,
which it may use."""
