"""Type stubs of tavro.rag_helper: ranking example problems by similarity."""

from typing import Any, Dict, List, Union

__all__ = ["rank_problem_descriptions"]
import os

def rank_problem_descriptions(query: str, models_dir: Union[str, "os.PathLike[str]"],
                              top_k: int) -> List[Dict[str, Any]]: ...
def _clear_cache() -> None: ...
