"""The commit a benchmark artefact was measured on, written into every result file under bench/."""
from __future__ import annotations

import os
import subprocess
from typing import Dict, Optional, Union

HERE = os.path.dirname(os.path.abspath(__file__))

# Result files do not make a tree dirty: one run writing them must not mark the next one.
_RESULTS = [":(exclude)bench/*.json", ":(exclude)bench/*.png"]


def _git(*args: str) -> Optional[str]:
    try:
        done = subprocess.run(["git", "-C", HERE, *args], capture_output=True, text=True)
    except OSError:
        return None
    return done.stdout.strip() if done.returncode == 0 else None


def measured_on() -> Dict[str, Union[str, bool, None]]:
    """{"commit": the full hash of HEAD, "dirty": whether a tracked file differs from it (result
    files left out)}; both None outside a git checkout."""
    commit = _git("rev-parse", "HEAD")
    if commit is None:
        return {"commit": None, "dirty": None}
    changes = _git("-C", "..", "status", "--porcelain", "--untracked-files=no", "--", ".", *_RESULTS)
    return {"commit": commit, "dirty": bool(changes)}


def describe(result: Dict) -> str:
    """"commit abc1234" (with " + uncommitted changes" when dirty) for a report line."""
    commit = result.get("commit")
    if not commit:
        return "commit unknown"
    return f"commit {commit[:10]}" + (" + uncommitted changes" if result.get("dirty") else "")
