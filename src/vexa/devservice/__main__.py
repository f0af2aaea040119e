import sys

try:
    from .command import main
except ModuleNotFoundError as missing:  # click or platformdirs, of the service extra
    sys.exit(f"python -m vexa.devservice: error: the service needs {missing.name}: pip install 'vexa[service]'")

sys.exit(main())
