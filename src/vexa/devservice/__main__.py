import sys

try:
    from .server import main
except ModuleNotFoundError as missing:  # starlette, uvicorn or python-multipart
    sys.exit(f"python -m vexa.devservice: error: the service needs {missing.name}: pip install 'vexa[service]'")

sys.exit(main())
