#!/usr/bin/env bash
# The layering of src/ (no build needed): first the checker against trees
# with planted violations, so it cannot pass everything unnoticed, then the
# checker on this tree.
set -euo pipefail
cd "$(dirname "$0")/../.."

tests/scripts/check_layers_test.sh
scripts/check-layers.sh
