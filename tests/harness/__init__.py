"""The test harness: target rows (targets), one runner (runner), one oracle
(oracle), front rows (fronts) and scripted peers (peers). Suites import what
they need from here."""
from .oracle import JSON_HEAD, META, REFUSAL, json_reply, kind_of, validated
from .runner import (Case, Interrupt, Reply, base_env, free_port, is_root, main, retried_once, run,
                     run_argv, start)
from .targets import (MAX_RETRIES, PLATFORM, ROOT, RUN, TARGET, TARGETS, UNDER_WINE,
                      launcher_did_not_start, note_retry)

__all__ = ["JSON_HEAD", "META", "REFUSAL", "json_reply", "kind_of", "validated", "Case", "Interrupt",
           "Reply",
           "base_env", "free_port", "is_root", "main", "retried_once", "run", "run_argv", "start", "MAX_RETRIES",
           "PLATFORM", "ROOT", "RUN", "TARGET", "TARGETS", "UNDER_WINE", "launcher_did_not_start",
           "note_retry"]
