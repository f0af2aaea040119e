from pathlib import Path
from typing import Any

from vexa.client._sync.client import Client
from vexa.types import CodeInfo, CodeType, CodeZip, Job, JsonData

class CodeClient:
    def __init__(self, client: Client) -> None: ...
    def upload(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict[str, Any] | None = None,
    ) -> str: ...
    def download(self, code_id: str, zip_path: Path | str | None = None) -> CodeZip: ...
    def delete(self, code_id: str) -> str: ...
    def get_info(self, code_id: str) -> CodeInfo: ...
    def list_info(self, code_type: CodeType | None = None) -> list[CodeInfo]: ...
    def get_metadata(self, code_id: str) -> JsonData: ...
    def ingest(
        self,
        code_zip: CodeZip,
        code_name: str,
        code_type: CodeType,
        metadata: JsonData | dict[str, Any] | None = None,
        build_pexenv: bool = False,
        pexenv_python: str | None = None,
    ) -> Job: ...
